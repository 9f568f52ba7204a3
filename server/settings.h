// What a server is started with: the command line fills it, tests build it.
#ifndef PALAVER_SERVER_SETTINGS_H
#define PALAVER_SERVER_SETTINGS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "server/accounts.h"

namespace palaver::server {

constexpr std::uint16_t kDefaultPort = 7400;

// A node of a cluster whose nodes meet on a NATS bus (docs/cluster.md).
struct ClusterSettings {
    std::string url;         // nats://HOST:PORT
    std::uint16_t node = 0;  // 1 to 127, unique in the cluster
    // A node says it is alive this often; one not heard for `timeout` is
    // taken for dead and its users leave.
    std::chrono::milliseconds heartbeat{1000};
    std::chrono::milliseconds timeout{3000};
    std::chrono::milliseconds reconnectWait{250};
};

// The TLS listener: the same protocol inside TLS 1.2 or later.
struct TlsSettings {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port
    std::string certFile;    // PEM certificate chain, the server's first
    std::string keyFile;     // PEM private key
};

struct Settings {
    // The plain listener, unless `plain` is false (--listen none).
    bool plain = true;
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
    // Let other processes listen on the same port (SO_REUSEPORT): the kernel
    // spreads the connections over them.
    bool reusePort = false;
    std::optional<ClusterSettings> cluster;
    std::optional<TlsSettings> tls;
};

}  // namespace palaver::server

#endif
