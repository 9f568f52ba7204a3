// Failed logins slow down the next ones, by client address and by login
// name: a few mistakes cost nothing, then each further failure doubles the
// time before the next check may run (1 s, 2 s, 4 s ... up to a cap). While
// a back-off runs, the checks of one address or name are spaced by it, so
// opening connections in parallel gains a guesser nothing. The tables take
// the time from their caller and hold at most `kMaxEntries` each.
#ifndef PALAVER_SERVER_LOGIN_BACKOFF_H
#define PALAVER_SERVER_LOGIN_BACKOFF_H

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "server/address_limits.h"
#include "server/net.h"

namespace palaver::server {

class LoginBackoff {
  public:
    static constexpr std::size_t kFreeFailures = 5;
    static constexpr auto kFirstDelay = std::chrono::seconds(1);
    static constexpr auto kMaxDelay = std::chrono::seconds(30);
    // A login is checked at most this long after it arrives; one that would
    // have to wait longer is refused at once.
    static constexpr auto kMaxWait = std::chrono::seconds(5);
    // Failures are forgotten this long after the last one.
    static constexpr auto kForgetAfter = std::chrono::minutes(10);
    static constexpr std::size_t kMaxEntries = 100000;

    // When a login from `address` (none: not counted by address) under
    // `name` may be checked, with that slot taken; nothing when it would be
    // later than `kMaxWait` from now.
    std::optional<Clock::time_point> reserve(const std::optional<AddressKey>& address,
                                             const std::string& name, Clock::time_point now);
    void failed(const std::optional<AddressKey>& address, const std::string& name,
                Clock::time_point now);
    void succeeded(const std::optional<AddressKey>& address, const std::string& name);
    // Lets go of entries whose last failure is `kForgetAfter` old.
    void sweep(Clock::time_point now);

  private:
    struct Entry {
        std::size_t failures = 0;
        Clock::time_point next{};  // no check before this
        Clock::time_point lastFailure{};
    };
    template <class Table, class Key>
    static void fail(Table& table, const Key& key, Clock::time_point now);
    static Clock::duration delay(std::size_t failures);

    std::unordered_map<AddressKey, Entry, AddressKeyHash> byAddress_;
    std::unordered_map<std::string, Entry> byName_;
};

}  // namespace palaver::server

#endif
