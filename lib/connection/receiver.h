// The reading side of one connection, for the receive thread and for a
// host-driven client alike: one read of the socket (through TLS when on),
// its frames applied to the room.
#ifndef PALAVER_LIB_CONNECTION_RECEIVER_H
#define PALAVER_LIB_CONNECTION_RECEIVER_H

#include <cstddef>

#include "lib/client/client_state.h"
#include "lib/connection/room_updater.h"
#include "protocol/frame_reader.h"

namespace palaver {

class TlsStream;

class Receiver {
  public:
    explicit Receiver(RoomState& room) : updater_(room) {}

    enum class Read {
        Some,   // bytes came and were applied
        Idle,   // nothing now: the receive timed out or would block
        Ended,  // the stream ended, failed or broke a frame
    };
    // `bytes`, when given, receives how many bytes the read brought, and
    // `filled` whether they filled all the room the read offered (when not,
    // a plain socket has nothing more now).
    Read read_once(Connection& c, platform::SocketHandle s, TlsStream* tls,
                   std::size_t* bytes = nullptr, bool* filled = nullptr);

  private:
    ClientFrameReader reader_;
    RoomUpdater updater_;
};

}  // namespace palaver

#endif
