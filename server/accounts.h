// The accounts file: one account a line, "name login-string [admin]",
// separated by blanks; blank lines and lines starting with '#' are skipped.
#ifndef PALAVER_SERVER_ACCOUNTS_H
#define PALAVER_SERVER_ACCOUNTS_H

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace palaver::server {

struct Account {
    std::string login;
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

  private:
    std::unordered_map<std::string, Account> byName_;
};

}  // namespace palaver::server

#endif
