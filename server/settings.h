// What a server is started with: the command line fills it, tests build it.
#ifndef PALAVER_SERVER_SETTINGS_H
#define PALAVER_SERVER_SETTINGS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/accounts.h"

namespace palaver::server {

constexpr std::uint16_t kDefaultPort = 7400;

// A node of a cluster whose nodes meet on a NATS bus (docs/cluster.md).
struct ClusterSettings {
    std::string url;  // nats://HOST:PORT or tls://HOST:PORT
    // How the node proves itself to the bus (cluster/bus_credentials.h);
    // none: it connects without credentials.
    std::string credentialsFile;
    // The CA certificates (PEM) a tls:// bus's certificate is verified
    // against; none: the system's.
    std::string caFile;
    std::uint16_t node = 0;  // 1 to 127, unique in the cluster
    // The cluster's node ids: messages of any other node are ignored. Empty:
    // every id from 1 to 127.
    std::vector<std::uint16_t> nodes;
    // The other nodes' users this node holds at most, per node and in all;
    // a node that announces more is cut off.
    std::size_t maxNodeUsers = 262144;
    std::size_t maxRemoteUsers = 1048576;
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

// The /metrics endpoint for a monitor (server/metrics_listener.h).
struct MetricsSettings {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port
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
    // What one client address may hold, so that no one address takes every
    // slot; an address is an IPv4 address or an IPv6 /64
    // (server/address_limits.h). Open connections, logging in or logged in;
    // 0: no limit.
    std::size_t maxPerAddress = 16;
    // New connections from one address: a token bucket of `connectBurst`
    // refilled at `connectRate` a second; a rate of 0: no limit.
    double connectRate = 10;
    std::size_t connectBurst = 32;
    // Addresses that neither limit counts (IPv6 ones stand for their /64).
    std::vector<std::string> exemptAddresses;
    // Connections not logged in yet, all addresses together. One more is
    // still let in, and the oldest of them closed to make room: connections
    // that never log in cannot keep a real client out.
    std::size_t maxLoggingIn = 512;
    // Memory that messages waiting to go out to one client may hold (each
    // charged at its block and bookkeeping, not just its bytes); a client
    // that lets more pile up is disconnected as a slow reader.
    std::size_t queueLimit = 1 << 20;
    // A client whose queued messages are not all taken within this time is
    // disconnected as a slow reader too, however little it holds.
    std::chrono::milliseconds writeTimeout{30000};
    // The most all queues together may hold; when reached, the largest queue
    // is dropped and its client disconnected. 0: a quarter of the machine's
    // memory.
    std::size_t maxQueuedTotal = 0;
    // Each request spends credits by what it costs the server (handlers.h);
    // a session's credits come back at `requestRate` a second, up to
    // `requestBurst`. A session out of credits is not read until it has
    // some again; one that stays over the rate for `floodGrace` is
    // disconnected. A rate of 0: no limit.
    double requestRate = 500;
    double requestBurst = 1000;
    std::chrono::milliseconds floodGrace{10000};
    // Requests the server refuses (spoofed ids, texts that do not fit, kicks
    // by non-admins) that a session may send before it is disconnected.
    std::size_t maxRefusedRequests = 100;
    // Threads that check hashed login strings (server/login_checks.h), and
    // how many checks may wait for one.
    std::size_t loginCheckThreads = 2;
    std::size_t maxWaitingChecks = 64;
    // Failed logins slow down the next ones (server/login_backoff.h).
    bool loginBackoff = true;
    // How long a drain (Server::drain, SIGTERM) may take to send what is
    // queued before the sessions still open are closed at once; 0: at once.
    std::chrono::milliseconds drainTimeout{5000};
    bool logChat = false;
    // No accounts: anyone may log in under any name, and nobody is admin.
    std::shared_ptr<const Accounts> accounts;
    // Where `accounts` came from, read again on a reload (SIGHUP).
    std::string accountsFile;
    // Where bans are kept across restarts (server/ban_file.h); none: in memory.
    std::string bansFile;
    // The control socket (server/control_server.h); none: no control socket.
    std::string controlPath;
    // Let other processes listen on the same port (SO_REUSEPORT): the kernel
    // spreads the connections over them.
    bool reusePort = false;
    std::optional<ClusterSettings> cluster;
    std::optional<TlsSettings> tls;
    std::optional<MetricsSettings> metrics;
};

}  // namespace palaver::server

#endif
