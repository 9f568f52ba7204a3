// The accounts file: one account a line, "name login-string [admin]",
// separated by blanks; blank lines and lines starting with '#' are skipped.
// The login string may be an Argon2id hash ("palaver-server hash" makes one).
#ifndef PALAVER_SERVER_ACCOUNTS_H
#define PALAVER_SERVER_ACCOUNTS_H

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/login_secret.h"

namespace palaver::server {

struct Account {
    LoginSecret secret;
    bool admin = false;
};

class Accounts {
  public:
    // Nothing, with `error` saying which line is wrong, when a line does not
    // parse or a name or login string is too long for the wire.
    static std::optional<Accounts> parse(std::istream& in, std::string& error);
    static std::optional<Accounts> load(const std::string& path, std::string& error);

    const Account* find(std::string_view name) const;
    std::size_t size() const { return byName_.size(); }
    // Entries that still hold their login string in plain text.
    std::size_t plain_count() const { return plain_; }
    // What the operator should hear when the file is taken into use: plain
    // entries, a file that other users may read.
    const std::vector<std::string>& warnings() const { return warnings_; }

  private:
    std::unordered_map<std::string, Account> byName_;
    std::size_t plain_ = 0;
    std::vector<std::string> warnings_;
};

}  // namespace palaver::server

#endif
