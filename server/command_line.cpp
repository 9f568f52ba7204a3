#include "server/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>
#include <vector>

#include "server/ban_file.h"
#include "server/cluster/bus_credentials.h"
#include "server/net.h"
#include "server/tls_context.h"

namespace palaver::server {
namespace {

std::chrono::milliseconds from_seconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

// An option given in seconds (fractions allowed) for a time the settings keep
// in milliseconds; the settings' value is the default.
void add_seconds(CLI::App& app, const std::string& name, std::chrono::milliseconds& target,
                 const std::string& help, double minimum = 0.01) {
    std::ostringstream shown;
    shown << static_cast<double>(target.count()) / 1000;
    app.add_option_function<double>(
           name, [&target](double seconds) { target = from_seconds(seconds); }, help)
        ->default_str(shown.str())
        ->check(CLI::Range(minimum, 86400.0));
}

// The first of `addresses` that is not an IP address, if any.
std::optional<std::string> unparsable_address(const std::vector<std::string>& addresses) {
    for (const std::string& text : addresses) {
        asio::error_code ec;
        asio::ip::make_address(text, ec);
        if (ec) {
            return text;
        }
    }
    return std::nullopt;
}

}  // namespace

bool parse_listen(const std::string& text, Settings& settings) {
    return parse_endpoint(text, settings.address, settings.port);
}

bool parse_endpoint(const std::string& text, std::string& addressOut, std::uint16_t& portOut) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        return false;
    }
    asio::error_code ec;
    asio::ip::make_address(address, ec);
    if (ec) {
        return false;
    }
    addressOut = address;
    portOut = static_cast<std::uint16_t>(std::stoul(port));
    return true;
}

std::optional<CommandLine> parse_command_line(int argc, char** argv, int& exitCode) {
    CommandLine result;
    Settings& s = result.settings;
    std::string listen = s.address + ":" + std::to_string(s.port);
    std::string accountsPath;
    std::string level = "info";
    ClusterSettings cluster;
    int heartbeatMs = static_cast<int>(cluster.heartbeat.count());
    int clusterTimeoutMs = static_cast<int>(cluster.timeout.count());
    int reconnectMs = static_cast<int>(cluster.reconnectWait.count());

    CLI::App app{"palaver-server: the Palaver chat room server"};
    app.add_option("--listen", listen,
                   "Address and port to listen on; port 0 picks a free one; none: no plain "
                   "listener (with --tls-listen)")
        ->capture_default_str();
    TlsSettings tls;
    std::string tlsListen;
    auto* tlsOption = app.add_option(
        "--tls-listen", tlsListen,
        "Address and port to listen on for TLS (1.2 or later) as well; port 0 picks a free one");
    app.add_option("--tls-cert", tls.certFile,
                   "The TLS listener's certificate chain, PEM, the server's own first")
        ->needs(tlsOption);
    app.add_option("--tls-key", tls.keyFile, "The TLS listener's private key, PEM")
        ->needs(tlsOption);
    std::string metricsListen;
    MetricsSettings metrics;
    app.add_option("--metrics-listen", metricsListen,
                   "Serve /metrics (Prometheus text format) over HTTP at this address and port; "
                   "port 0 picks a free one");
    app.add_option("--accounts", accountsPath,
                   "Accounts file (lines: name login-string [admin]); without it anyone may "
                   "log in and nobody is admin");
    app.add_option("--bans", s.bansFile,
                   "Keep bans in this file across restarts (written on every change; a missing "
                   "file holds none)");
    app.add_option("--control", s.controlPath,
                   "Listen for control commands (palaver-server ctl) on a Unix socket at this "
                   "path, reachable by this user only");
    app.add_option("--max-clients", s.maxClients, "Most users logged in at once")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    app.add_option("--max-per-address", s.maxPerAddress,
                   "Most connections open from one address (IPv4, or an IPv6 /64), logging in "
                   "or logged in; 0: no limit")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{0}, std::size_t{1} << 20));
    app.add_option("--max-logging-in", s.maxLoggingIn,
                   "Most connections not logged in yet, all addresses together; one more closes "
                   "the oldest of them")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    app.add_option("--connect-rate", s.connectRate,
                   "New connections a second from one address, after --connect-burst; 0: no "
                   "limit")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1e6));
    app.add_option("--connect-burst", s.connectBurst,
                   "New connections from one address at once, before --connect-rate applies")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    app.add_option("--exempt-address", s.exemptAddresses,
                   "An address (an IPv6 one stands for its /64) that --max-per-address and "
                   "--connect-rate do not count; may be given again");
    add_seconds(app, "--login-timeout", s.loginTimeout, "Seconds for a login request to arrive");
    add_seconds(app, "--idle-timeout", s.idleTimeout, "Seconds without a message before a logout");
    app.add_option("--queue-limit", s.queueLimit,
                   "Memory that messages waiting for one client may hold before it is dropped "
                   "as a slow reader")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{4096}, std::size_t{1} << 30));
    add_seconds(app, "--write-timeout", s.writeTimeout,
                "Seconds within which a client must take what is queued for it, or be "
                "dropped as a slow reader");
    app.add_option("--max-queued-total", s.maxQueuedTotal,
                   "Bytes all queues together may hold; when reached, the largest is dropped "
                   "(0: a quarter of the machine's memory)")
        ->capture_default_str();
    app.add_option("--request-rate", s.requestRate,
                   "Credits a second a session's requests may spend (docs/server.md, Limits); "
                   "0: no limit")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1e9));
    app.add_option("--request-burst", s.requestBurst, "Credits a session may save up")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1e9));
    add_seconds(app, "--flood-grace", s.floodGrace,
                "Seconds a session may stay over the request rate before it is dropped");
    app.add_option("--max-refused", s.maxRefusedRequests,
                   "Refused requests (spoofed, not fitting, not allowed) a session may send "
                   "before it is dropped")
        ->capture_default_str();
    add_seconds(app, "--drain-timeout", s.drainTimeout,
                "Seconds a drain (SIGTERM) may take to send what is queued before it closes "
                "the rest; 0: close at once",
                0.0);
    app.add_flag("--log-chat", s.logChat, "Log chat text (off: chat is never logged)");
    app.add_option("--log-level", level, "debug, info, warn or error")->capture_default_str();
    app.add_flag("--reuse-port", s.reusePort,
                 "Share the listening port with other processes (SO_REUSEPORT), e.g. the "
                 "nodes of a cluster on one machine");
    auto* clusterOption =
        app.add_option("--cluster", cluster.url,
                       "Join the cluster whose nodes meet on this NATS bus (nats://HOST:PORT, "
                       "or tls://HOST:PORT for TLS verified before any credential goes out)");
    app.add_option("--cluster-credentials", cluster.credentialsFile,
                   "Prove this node to the bus with this file: a user name line and a password "
                   "line, a NATS .creds file, or an nkey seed and public key")
        ->needs(clusterOption);
    app.add_option("--cluster-ca", cluster.caFile,
                   "CA certificates (PEM) that a tls:// bus's certificate must verify against; "
                   "without it the system's")
        ->needs(clusterOption);
    app.add_option("--node-id", cluster.node, "This node's id in the cluster, 1 to 127")
        ->check(CLI::Range(1, 127))
        ->needs(clusterOption);
    clusterOption->needs("--node-id");
    app.add_option("--cluster-nodes", cluster.nodes,
                   "The node ids of the cluster, e.g. 1,2,3; messages of any other node are "
                   "ignored (default: every id from 1 to 127)")
        ->delimiter(',')
        ->check(CLI::Range(1, 127))
        ->needs(clusterOption);
    app.add_option("--cluster-max-node-users", cluster.maxNodeUsers,
                   "Most users of one other node this node holds; a node that announces more "
                   "is cut off")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 24))
        ->capture_default_str()
        ->needs(clusterOption);
    app.add_option("--cluster-max-remote-users", cluster.maxRemoteUsers,
                   "Most users of all other nodes together this node holds")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 31))
        ->capture_default_str()
        ->needs(clusterOption);
    // Internal timing, for tests: heartbeat period, silence after which a
    // node is taken for dead, wait between attempts to reach the bus again.
    app.add_option("--cluster-heartbeat-ms", heartbeatMs)->check(CLI::Range(10, 60000))->group("");
    app.add_option("--cluster-timeout-ms", clusterTimeoutMs)
        ->check(CLI::Range(30, 600000))
        ->group("");
    app.add_option("--cluster-reconnect-ms", reconnectMs)->check(CLI::Range(10, 60000))->group("");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exitCode = app.exit(e);
        return std::nullopt;
    }
    auto parsedLevel = parse_level(level);
    std::string error;
    if (!parsedLevel) {
        error = "--log-level: expected debug, info, warn or error";
    } else if (listen != "none" && !parse_listen(listen, s)) {
        error = "--listen: expected ADDR:PORT, e.g. 127.0.0.1:" + std::to_string(kDefaultPort) +
                ", or none";
    } else if (listen == "none" && tlsListen.empty()) {
        error = "--listen none: without --tls-listen there would be nothing to listen on";
    } else if (!tlsListen.empty() && !parse_endpoint(tlsListen, tls.address, tls.port)) {
        error = "--tls-listen: expected ADDR:PORT, e.g. 127.0.0.1:7443";
    } else if (!tlsListen.empty() && (tls.certFile.empty() || tls.keyFile.empty())) {
        error = "--tls-listen needs --tls-cert FILE and --tls-key FILE (PEM)";
    } else if (!tlsListen.empty() && !make_tls_context(tls.certFile, tls.keyFile, error)) {
        // `error` says which file and why.
    } else if (!metricsListen.empty() &&
               !parse_endpoint(metricsListen, metrics.address, metrics.port)) {
        error = "--metrics-listen: expected ADDR:PORT, e.g. 127.0.0.1:9740";
    } else if (auto bad = unparsable_address(s.exemptAddresses)) {
        error = "--exempt-address " + *bad + ": expected an IPv4 or IPv6 address";
    } else if (!cluster.url.empty() && cluster.url.rfind("nats://", 0) != 0 &&
               cluster.url.rfind("tls://", 0) != 0) {
        error = "--cluster: expected nats://HOST:PORT or tls://HOST:PORT";
    } else if (cluster.url.find("tls://", 1) != std::string::npos &&
               cluster.url.rfind("tls://", 0) != 0) {
        error = "--cluster: a list of URLs with tls:// must begin with tls:// (all then use TLS)";
    } else if (!cluster.caFile.empty() && cluster.url.rfind("tls://", 0) != 0) {
        error = "--cluster-ca: the bus is verified only over TLS, with a tls:// URL";
    } else if (!cluster.nodes.empty() && std::find(cluster.nodes.begin(), cluster.nodes.end(),
                                                   cluster.node) == cluster.nodes.end()) {
        error = "--cluster-nodes must name this node's --node-id";
    } else if (heartbeatMs >= clusterTimeoutMs) {
        error = "--cluster-timeout-ms must be longer than the heartbeat";
    } else if (!accountsPath.empty()) {
        auto accounts = Accounts::load(accountsPath, error);
        if (accounts) {
            s.accounts = std::make_shared<const Accounts>(std::move(*accounts));
            s.accountsFile = accountsPath;
        } else {
            error = "--accounts: " + error;
        }
    }
    if (error.empty() && !s.bansFile.empty() && !load_bans(s.bansFile, error)) {
        error = "--bans: " + error;
    }
    if (error.empty() && !cluster.url.empty()) {
        std::optional<cluster::BusCredentials> credentials = cluster::BusCredentials{};
        if (!cluster.credentialsFile.empty()) {
            credentials = cluster::read_bus_credentials(cluster.credentialsFile, error);
        }
        if (credentials) {
            result.warnings = cluster::bus_warnings(cluster.url, *credentials);
        } else {
            error = "--cluster-credentials: " + error;
        }
    }
    if (!error.empty()) {
        std::cerr << "palaver-server: " << error << "\n";
        exitCode = 2;
        return std::nullopt;
    }
    result.logLevel = *parsedLevel;
    s.plain = listen != "none";
    if (!tlsListen.empty()) {
        s.tls = tls;
    }
    if (!metricsListen.empty()) {
        s.metrics = metrics;
    }
    if (!cluster.url.empty()) {
        cluster.heartbeat = std::chrono::milliseconds(heartbeatMs);
        cluster.timeout = std::chrono::milliseconds(clusterTimeoutMs);
        cluster.reconnectWait = std::chrono::milliseconds(reconnectMs);
        s.cluster = cluster;
    }
    return result;
}

}  // namespace palaver::server
