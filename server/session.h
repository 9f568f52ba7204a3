// One client connection. It reads frames from its stream (server/stream.h:
// the socket, with TLS over it on the TLS listener) and hands them to the
// login or request handlers, and writes its queue of shared messages, one
// gathered write at a time. Handlers hold it alive through
// shared_from_this; the server state and the room only point at it while it
// is open.
#ifndef PALAVER_SERVER_SESSION_H
#define PALAVER_SERVER_SESSION_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "palaver_records.h"
#include "protocol/frame_reader.h"
#include "server/buffer_pool.h"
#include "server/close_cause.h"
#include "server/log.h"
#include "server/net.h"
#include "server/request_budget.h"
#include "server/stream.h"
#include "server/write_queue.h"

namespace palaver::server {

class Room;
class ServerState;

class Session : public std::enable_shared_from_this<Session> {
  public:
    // With `tls` the client must complete a TLS handshake within the login
    // time before anything else.
    Session(tcp::socket socket, ServerState& state, asio::ssl::context* tls = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start();

    // Queues the message; the write starts on a later turn of the event loop,
    // so that everything queued meanwhile goes out in one gathered write.
    void deliver(const BufferRef& message);
    // The same for the login reply or a refusal: a status, not a framed
    // message, counted apart.
    void deliver_login_reply(const BufferRef& reply);
    // Ends the session now; `reason` goes to the log, `cause` to the metrics.
    void close(CloseCause cause, std::string_view reason, Level level = Level::Info);
    void close(std::string_view reason, Level level = Level::Info) {
        close(CloseCause::Other, reason, level);
    }
    // Stops reading and ends the session once its queue is written (a
    // refused login's reply).
    void finish(CloseCause cause, std::string_view reason);
    // Ends the session as the server drains: what the client sends is no
    // longer handled, what is queued for it (and what still comes) is
    // written, and once its queue is empty it closes, waiting a little for
    // the client to close too. Only the write deadline can cut it short. One
    // still logging in closes at once.
    void drain(std::string_view reason);

    // Drops the queue at once and ends the session on the next turn (it may
    // be called while a room is being walked).
    void drop_queue(CloseCause cause, const std::string& reason);

    bool open() const { return !closed_; }
    bool logged_in() const { return loggedIn_; }
    // The memory its queue is charged at.
    std::size_t queued() const { return queue_.charged(); }
    // The bytes queued and not yet written.
    std::size_t unsent() const { return queue_.pending(); }
    // Starts the idle timer; the login handler calls it once the user is in.
    void mark_logged_in();
    // While its login request is checked elsewhere, nothing more the client
    // sends is handled (it stays in the reader) until resume().
    // Holds nest: a login checked off the loop may then wait for its room.
    void hold() { ++held_; }
    void resume();

    std::int32_t id() const { return user_.userId; }
    stUserInfo& user() { return user_; }
    const stUserInfo& user() const { return user_; }
    const std::string& peer() const { return peer_; }
    bool tls() const { return stream_.tls(); }
    asio::any_io_executor executor() { return stream_.executor(); }
    // "id 7 "alice" (127.0.0.1:5000)" once logged in, else the peer.
    std::string describe() const;

    // Kept by the login handler and the room.
    std::string loginName;
    bool admin = false;
    Room* room = nullptr;
    std::size_t roomIndex = 0;
    // Requests refused so far (request_handlers.cpp).
    std::size_t refusedRequests = 0;

  private:
    // True while what the client sends is still read and handled.
    bool reading() const { return !closed_ && !finishing_ && !overflowed_; }
    void read();
    void on_read(const asio::error_code& ec, std::size_t count);
    // Handles what has been read, takes what is already received, and reads
    // on, unless the session stops or pauses.
    void pump();
    enum class Taken { All, Paused, Stopped };
    // Handles the whole frames read so far, until they run out, the request
    // budget does, or the session stops reading.
    Taken take_frames(bool& any);
    // Out of credits: handles nothing more until the budget is back in
    // credit; a client that stays over the rate for the grace period ends.
    void pause(Clock::time_point now);
    void read_failed(const asio::error_code& ec);
    // Queues the message unless the session is closing or its queue is full.
    bool queue(const BufferRef& message);

    // One timer for every deadline: the login or idle one, the write one
    // while messages wait, the end of a pause.
    Clock::time_point next_wake() const;
    // Makes the timer wake by `when` at the latest.
    void wake_by(Clock::time_point when);
    void wait_deadline();
    void on_deadline(const asio::error_code& ec);

    // The write deadline: set when a write must wait, it marks the messages
    // queued by then; each time they are all written, the mark moves to
    // what is queued at that time, or goes when nothing is.
    void write_waits();
    void write_progressed();
    // True when the whole queue is written: empties it, and ends a session
    // that was finishing.
    bool drained();
    // Writes from the queue until it is empty or the stream must wait.
    void write();
    void say_goodbye();
    // After a drain: ends the server's side and drops what the client still
    // sends until it closes or kLinger has passed, then closes.
    void linger();
    void discard(std::shared_ptr<std::vector<std::uint8_t>> scratch);

    Stream stream_;
    ServerState& state_;
    asio::steady_timer timer_;
    Clock::time_point deadline_;
    FrameReader reader_;
    stUserInfo user_{};
    std::string peer_;

    WriteQueue queue_;
    RequestBudget budget_;
    Clock::time_point pausedUntil_{};
    // The current stretch of pauses, none more than a second from the last.
    Clock::time_point floodSince_{};
    Clock::time_point lastPause_{};
    // Messages pushed ever, when the write deadline's mark was set.
    std::uint64_t stallMark_ = 0;
    Clock::time_point stallSince_{};

    bool loggedIn_ = false;
    bool readAny_ = false;
    bool closed_ = false;
    bool finishing_ = false;
    bool writing_ = false;  // a write, or the wait for room in the socket, is under way
    bool writePosted_ = false;
    bool overflowed_ = false;  // its queue dropped; closing on the next turn
    bool paused_ = false;
    int held_ = 0;
    bool stalled_ = false;  // a write deadline runs
    bool draining_ = false;
    bool lingering_ = false;  // its queue written in a drain: closes by linger()
    std::string finishReason_;
    CloseCause finishCause_ = CloseCause::Other;
};

}  // namespace palaver::server

#endif
