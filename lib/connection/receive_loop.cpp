#include <chrono>
#include <new>

#include "lib/connection/lifecycle.h"
#include "lib/connection/room_updater.h"
#include "lib/connection/send.h"
#include "lib/connection/timing.h"
#include "lib/connection/tls_stream.h"
#include "protocol/frame_reader.h"

namespace palaver {
namespace {

using Clock = std::chrono::steady_clock;

// One KeepAlive every period after Login. The receive time-out is no longer
// than the period, so an idle connection wakes the loop in time; a busy one
// wakes it with every read.
class KeepAliveClock {
  public:
    KeepAliveClock()
        : period_(std::chrono::milliseconds(timing().keepAlivePeriodMs.load())),
          next_(Clock::now() + period_) {}

    bool due() {
        auto now = Clock::now();
        if (now < next_) {
            return false;
        }
        // Late by more than a period (a long blocked send): start afresh.
        next_ = now - next_ > period_ ? now + period_ : next_ + period_;
        return true;
    }

  private:
    Clock::duration period_;
    Clock::time_point next_;
};

// Reads until the connection ends or the stop flag is seen. A read that times
// out gives the loop a chance to look at the flag and the KeepAlive clock.
void run_receive(ClientState& state) {
    Connection& c = state.connection;
    const platform::SocketHandle s = c.socket.load();
    TlsStream* const tls = c.tls.get();  // set before this thread starts, reset after it ends
    ClientFrameReader reader;
    RoomUpdater updater(state.room);
    KeepAliveClock keepAlive;
    while (!c.stop.load()) {
        long n = tls != nullptr
                     ? tls->receive(c, s, reader.write_position(), reader.write_room())
                     : platform::receive_some(s, reader.write_position(), reader.write_room());
        // Taken before the KeepAlive's send, which may reset it (Winsock does).
        const bool timedOut = n < 0 && platform::is_timeout(platform::last_error());
        if (keepAlive.due() && !send_keep_alive(c, location_key_of(state.room.self))) {
            return;
        }
        if (n == 0 || (n < 0 && !timedOut)) {
            return;
        }
        if (timedOut) {
            continue;
        }
        reader.commit(static_cast<std::size_t>(n));
        Frame frame;
        FrameReader::Status status;
        while ((status = reader.next(frame)) == FrameReader::Status::Frame) {
            updater.apply(frame);
        }
        updater.flush();
        state.room.events.notify();
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
    Connection& c = state.connection;
    // Ended by the host (Logout, a new Login, freeing the client), which shuts
    // the socket down itself once its goodbye is out; or broken, perhaps under
    // a sender, which shut it down already.
    if (!c.hostEnding.load()) {
        // Ended first, told after: a host woken by the break finds the client
        // no longer connected.
        connection_lost(c, c.socket.load());
        state.room.events.set_broken(true);
    }
}

}  // namespace palaver
