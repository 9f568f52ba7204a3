#include "driven_wait.h"

#include <poll.h>

#include <algorithm>

namespace palaver::bench {

int drive_once(palaver_client* client, int timeout_ms) {
    palaver_socket socket = palaver_socket_of(client);
    if (socket != PALAVER_NO_SOCKET) {
        pollfd ready{socket, POLLIN, 0};
        if (palaver_want_write(client) != 0) {
            ready.events |= POLLOUT;
        }
        int due = palaver_next_timeout(client);
        ::poll(&ready, 1, due < 0 ? timeout_ms : std::min(due, timeout_ms));
    }
    // No connection: the process reports the break (or makes a reconnect).
    return palaver_process(client);
}

}  // namespace palaver::bench
