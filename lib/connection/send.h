// Writing to the connection: every message the library sends goes out whole
// through send_message, one at a time, and none waits longer than the
// connection's send limit, neither for the send lock nor for the system.
#ifndef PALAVER_LIB_CONNECTION_SEND_H
#define PALAVER_LIB_CONNECTION_SEND_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "lib/client/client_state.h"
#include "lib/platform/socket.h"
#include "protocol/client_messages.h"

namespace palaver {

// Sends until every byte is out, waiting for the system at most `limitMs` in
// all (below 0: without end); a send that fails or runs out of time ends it
// with false.
bool send_all(platform::SocketHandle s, const std::uint8_t* bytes, std::size_t count,
              int limitMs = -1);

// The connection's send limit for a send on `s`, given to the socket first
// when it has not got it yet. The caller holds the send lock.
int send_limit(Connection& c, platform::SocketHandle s);

// send_all on the open connection under its send lock; false when none is
// open. A send that fails or cannot go out within the send limit ends the
// connection: a stream cut inside a message cannot go on. A sender that
// cannot have the lock within the limit fails too, without waiting longer:
// the one ahead of it is stuck, and is ending the connection.
bool send_message(Connection& c, const std::uint8_t* bytes, std::size_t count);

// The KeepAlive, unless the connection is being ended: checked under the send
// lock, so none follows the Logout notice. Within the send limit, like every
// send; false when it failed, which ends the connection.
bool send_keep_alive(Connection& c, const LocationKey& key);

template <std::size_t N>
bool send_message(Connection& c, const std::array<std::uint8_t, N>& message) {
    return send_message(c, message.data(), N);
}

}  // namespace palaver

#endif
