#include "connection/send.h"

#include <mutex>

#include "connection/session.h"

namespace palaver {

bool send_all(platform::SocketHandle s, const std::uint8_t* bytes, std::size_t count) {
    std::size_t written = 0;
    while (written < count) {
        long n = platform::send_some(s, bytes + written, count - written);
        if (n < 1) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool send_message(Connection& c, const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard<std::timed_mutex> hold(c.sendLock);
    platform::SocketHandle s = c.socket.load();
    if (s == platform::kNoSocket) {
        return false;
    }
    if (!send_all(s, bytes, count)) {
        connection_lost(c, s);
        return false;
    }
    return true;
}

}  // namespace palaver
