#include "server/login_secret.h"

#include <sodium.h>

#include <algorithm>
#include <array>

#include "protocol/client_messages.h"

namespace palaver::server {
namespace {

constexpr std::string_view kHashPrefix = "$argon2id$";

bool sodium_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// A hash of nothing anyone sends, made once: what an unknown name is checked
// against.
const std::string& dummy_hash() {
    static const std::string dummy = LoginSecret::hash("\x01 no account \x01").value_or("");
    return dummy;
}

}  // namespace

LoginSecret LoginSecret::from_entry(std::string entry) {
    LoginSecret secret;
    secret.hashed_ = entry.compare(0, kHashPrefix.size(), kHashPrefix) == 0;
    secret.entry_ = std::move(entry);
    return secret;
}

std::optional<std::string> LoginSecret::hash(std::string_view login) {
    if (!sodium_ready()) {
        return std::nullopt;
    }
    std::array<char, crypto_pwhash_STRBYTES> out{};
    if (crypto_pwhash_str_alg(
            out.data(), login.data(), login.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return std::nullopt;
    }
    return std::string(out.data());
}

bool LoginSecret::matches(std::string_view login) const {
    if (hashed_) {
        return sodium_ready() &&
               crypto_pwhash_str_verify(entry_.c_str(), login.data(), login.size()) == 0;
    }
    // Both sides padded to the field's size: the time does not depend on
    // where they differ, nor on the stored string's length.
    std::array<unsigned char, kLoginStringField + 1> stored{}, given{};
    if (entry_.size() > kLoginStringField || login.size() > kLoginStringField) {
        return false;
    }
    std::copy(entry_.begin(), entry_.end(), stored.begin());
    std::copy(login.begin(), login.end(), given.begin());
    stored[kLoginStringField] = static_cast<unsigned char>(entry_.size());
    given[kLoginStringField] = static_cast<unsigned char>(login.size());
    return sodium_ready() ? sodium_memcmp(stored.data(), given.data(), stored.size()) == 0
                          : stored == given;
}

void LoginSecret::spend_as_unknown(std::string_view login) {
    const std::string& dummy = dummy_hash();
    if (!dummy.empty() &&
        crypto_pwhash_str_verify(dummy.c_str(), login.data(), login.size()) == 0) {
        return;  // nothing to do either way: only the time spent counts
    }
}

}  // namespace palaver::server
