// What a server is started with: the command line fills it, tests build it.
#ifndef PALAVER_SERVER_SETTINGS_H
#define PALAVER_SERVER_SETTINGS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/accounts.h"

namespace palaver::server {

constexpr std::uint16_t kDefaultPort = 7400;

struct Settings {
    std::string address = "127.0.0.1";
    std::uint16_t port = kDefaultPort;  // 0: any free port
    // A whole Login request must arrive within this time of connecting.
    std::chrono::milliseconds loginTimeout{10000};
    // A logged-in session with no message for this long ends: three missed
    // KeepAlive periods of the library.
    std::chrono::milliseconds idleTimeout{60000};
    std::size_t maxClients = 10000;  // logged-in users
    // Bytes waiting to go out to one client; a client that lets more pile up
    // is disconnected as a slow reader.
    std::size_t queueLimit = 1 << 20;
    bool logChat = false;
    // No accounts: anyone may log in under any name, and nobody is admin.
    std::shared_ptr<const Accounts> accounts;
};

}  // namespace palaver::server

#endif
