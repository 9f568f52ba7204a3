#include <new>

#include "connection/room_updater.h"
#include "connection/session.h"
#include "protocol/frame_reader.h"

namespace palaver {
namespace {

// Reads until the connection ends or the stop flag is seen. A read that times
// out only gives the loop a chance to look at the flag.
void run_receive(ClientState& state) {
    Connection& c = state.connection;
    const platform::SocketHandle s = c.socket.load();
    FrameReader reader;
    RoomUpdater updater(state.room);
    while (!c.stop.load()) {
        long n = platform::receive_some(s, reader.write_position(), reader.write_room());
        if (n == 0) {
            return;
        }
        if (n < 0) {
            if (platform::is_timeout(platform::last_error())) {
                continue;
            }
            return;
        }
        reader.commit(static_cast<std::size_t>(n));
        Frame frame;
        FrameReader::Status status;
        while ((status = reader.next(frame)) == FrameReader::Status::Frame) {
            updater.apply(frame);
        }
        updater.flush();
        if (status == FrameReader::Status::Broken) {
            return;
        }
    }
}

}  // namespace

void receive_thread(void* context) {
    auto& state = *static_cast<ClientState*>(context);
    try {
        run_receive(state);
    } catch (const std::bad_alloc&) {
        // Out of memory: the connection ends as it would on a broken stream.
    }
    connection_lost(state.connection, state.connection.socket.load());
}

}  // namespace palaver
