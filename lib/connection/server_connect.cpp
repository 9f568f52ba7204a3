#include "lib/connection/server_connect.h"

namespace palaver {

bool PendingSocket::open(std::uint16_t family) {
    close();
    handle_ = platform::open_tcp_socket(family);
    return handle_ != platform::kNoSocket;
}

void PendingSocket::close() {
    if (handle_ != platform::kNoSocket) {
        int error = platform::last_error();
        platform::close_socket(handle_);
        handle_ = platform::kNoSocket;
        platform::set_last_error(error);
    }
}

std::vector<platform::Endpoint> addresses_to_try(const ServerTarget& target) {
    if (target.lookUpAtLogin) {
        std::vector<platform::Endpoint> found = platform::resolve_all(target.name.c_str(), 0);
        if (!found.empty()) {
            for (platform::Endpoint& e : found) {
                e.port = target.endpoint.port;  // already in network order
            }
            return found;
        }
    }
    return {target.endpoint};
}

bool connect_first(const std::vector<platform::Endpoint>& addresses, PendingSocket& socket,
                   const LoginLimit& limit) {
    platform::set_last_error(platform::invalid_argument_code());  // for no address at all
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (limit.over()) {
            platform::set_last_error(platform::timed_out_code());
            return false;
        }
        const platform::Endpoint& address = addresses[i];
        const LoginLimit::Clock::time_point stopAt = limit.share_of_rest(addresses.size() - i);
        // A family this system lacks (no IPv6) fails to open: the next may do.
        if (!socket.open(address.family)) {
            continue;
        }
        const platform::SocketHandle s = socket.get();
        auto connected = [s](int ms) { return platform::wait_connected(s, ms); };
        if (platform::begin_connect(s, address) && limit.wait(connected, stopAt)) {
            return true;
        }
    }
    return false;
}

}  // namespace palaver
