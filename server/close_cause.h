// Why a session ended, as /metrics counts it (server/metrics.h). The log
// line says it in words; this is the short label a monitor adds up.
#ifndef PALAVER_SERVER_CLOSE_CAUSE_H
#define PALAVER_SERVER_CLOSE_CAUSE_H

#include <cstddef>
#include <string_view>

namespace palaver::server {

enum class CloseCause {
    Logout,          // the client's Logout notice
    ClientClosed,    // the client closed the connection
    NetworkError,    // a read or write failed
    Idle,            // no message for --idle-timeout
    LoginTimeout,    // no whole Login request, or no TLS handshake, in time
    LoginRefused,    // the login reply was a refusal
    TlsFailed,       // the TLS handshake failed
    WrongProtocol,   // a TLS client on the plain port
    HostileInput,    // a broken frame, a second login, too many refused requests
    Flooding,        // over the request rate for the grace period
    SlowReader,      // its queue overflowed, or was not taken in time
    QueueCap,        // the largest queue when all queues reached their cap
    LoggingInCap,    // the oldest of too many connections logging in
    Kicked,          // a kick, or a ban of its name
    AccountRemoved,  // its account left the accounts file (a reload)
    Shutdown,
    Other,  // a close that names no cause
};

inline constexpr std::size_t kCloseCauses = static_cast<std::size_t>(CloseCause::Other) + 1;

// The label value, e.g. "slow_reader".
constexpr std::string_view label(CloseCause cause) {
    switch (cause) {
        case CloseCause::Logout:
            return "logout";
        case CloseCause::ClientClosed:
            return "client_closed";
        case CloseCause::NetworkError:
            return "network_error";
        case CloseCause::Idle:
            return "idle";
        case CloseCause::LoginTimeout:
            return "login_timeout";
        case CloseCause::LoginRefused:
            return "login_refused";
        case CloseCause::TlsFailed:
            return "tls_failed";
        case CloseCause::WrongProtocol:
            return "wrong_protocol";
        case CloseCause::HostileInput:
            return "hostile_input";
        case CloseCause::Flooding:
            return "flooding";
        case CloseCause::SlowReader:
            return "slow_reader";
        case CloseCause::QueueCap:
            return "queue_cap";
        case CloseCause::LoggingInCap:
            return "logging_in_cap";
        case CloseCause::Kicked:
            return "kicked";
        case CloseCause::AccountRemoved:
            return "account_removed";
        case CloseCause::Shutdown:
            return "shutdown";
        case CloseCause::Other:
            break;
    }
    return "other";
}

}  // namespace palaver::server

#endif
