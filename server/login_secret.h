// A login string as the accounts file keeps it: an Argon2id hash in
// libsodium's encoded form ("$argon2id$..."), or the string itself. Checking
// costs the same for a name the file does not hold (a dummy hash is checked),
// and a plain entry is compared in constant time.
#ifndef PALAVER_SERVER_LOGIN_SECRET_H
#define PALAVER_SERVER_LOGIN_SECRET_H

#include <optional>
#include <string>
#include <string_view>

namespace palaver::server {

class LoginSecret {
  public:
    // A line's second word: a hash when it has the encoded form's prefix.
    static LoginSecret from_entry(std::string entry);
    // The entry for `login`: its hash, made with libsodium's interactive
    // limits. Nothing when libsodium could not start or ran out of memory.
    static std::optional<std::string> hash(std::string_view login);

    bool hashed() const { return hashed_; }
    // Whether `login` is this secret. A hash takes Argon2id's time.
    bool matches(std::string_view login) const;
    // Spends what checking a hashed secret spends, for a name with no
    // account, so that a guesser cannot tell names from timing.
    static void spend_as_unknown(std::string_view login);

  private:
    std::string entry_;
    bool hashed_ = false;
};

}  // namespace palaver::server

#endif
