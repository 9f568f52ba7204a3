// Writing to the connection: every message the library sends goes out whole
// through send_message, one at a time.
#ifndef PALAVER_LIB_CONNECTION_SEND_H
#define PALAVER_LIB_CONNECTION_SEND_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "lib/client/client_state.h"
#include "lib/platform/socket.h"
#include "protocol/client_messages.h"

namespace palaver {

// Sends until every byte is out; a send that takes nothing or fails ends it
// with false at once.
bool send_all(platform::SocketHandle s, const std::uint8_t* bytes, std::size_t count);

// send_all on the open connection under its send lock; false when none is
// open. A send that fails ends the connection: a stream cut inside a message
// cannot go on.
bool send_message(Connection& c, const std::uint8_t* bytes, std::size_t count);

// The KeepAlive, unless the connection is being ended: checked under the send
// lock, so none follows the Logout notice.
bool send_keep_alive(Connection& c, const LocationKey& key);

template <std::size_t N>
bool send_message(Connection& c, const std::array<std::uint8_t, N>& message) {
    return send_message(c, message.data(), N);
}

}  // namespace palaver

#endif
