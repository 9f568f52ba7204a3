#include "server/accounts.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "protocol/client_messages.h"

namespace palaver::server {

std::optional<Accounts> Accounts::parse(std::istream& in, std::string& error) {
    Accounts accounts;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream words(line);
        std::string name;
        if (!(words >> name) || name[0] == '#') {
            continue;
        }
        Account account;
        std::string secret;
        std::string flag;
        std::string extra;
        bool ok = static_cast<bool>(words >> secret);
        if (ok && words >> flag) {
            account.admin = flag == "admin";
            ok = account.admin && !(words >> extra);
        }
        auto where = "line " + std::to_string(number) + ": ";
        if (!ok) {
            error = where + "expected \"name login-string [admin]\"";
            return std::nullopt;
        }
        if (name.size() > kMaxName) {
            error = where + "name longer than 30 bytes";
            return std::nullopt;
        }
        account.secret = LoginSecret::from_entry(secret);
        if (!account.secret.hashed() && secret.size() > kLoginStringField) {
            error = where + "login string longer than 20 bytes";
            return std::nullopt;
        }
        accounts.plain_ += account.secret.hashed() ? 0 : 1;
        if (!accounts.byName_.emplace(name, account).second) {
            error = where + "name \"" + name + "\" appears twice";
            return std::nullopt;
        }
    }
    return accounts;
}

std::optional<Accounts> Accounts::load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    auto accounts = parse(in, error);
    if (!accounts) {
        error = path + ", " + error;
        return accounts;
    }
    auto& warnings = accounts->warnings_;
    if (accounts->plain_ != 0) {
        warnings.push_back(std::to_string(accounts->plain_) + " of " +
                           std::to_string(accounts->size()) + " accounts in " + path +
                           " hold their login string in plain text; \"palaver-server hash\" "
                           "makes the hashed entry");
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        warnings.push_back(path + " may be read by every user of this machine: chmod o-rw it");
    }
    return accounts;
}

const Account* Accounts::find(std::string_view name) const {
    auto found = byName_.find(std::string(name));
    return found == byName_.end() ? nullptr : &found->second;
}

}  // namespace palaver::server
