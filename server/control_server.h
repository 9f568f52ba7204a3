// The control socket (--control PATH): a Unix stream socket on the server's
// event loop that only the server's own user can reach (the file's mode is
// 0600, and a peer of another user is refused). A client sends one request
// line of at most 1 KiB, a command and its words (names as in
// server/word_escape.h); the reply is lines of text, then "ok" or
// "error: WHY" as the last line, and the server closes the connection.
// Commands are added by name, so each part of the server adds its own.
#ifndef PALAVER_SERVER_CONTROL_SERVER_H
#define PALAVER_SERVER_CONTROL_SERVER_H

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/accept_loop.h"
#include "server/log.h"
#include "server/net.h"

namespace palaver::server {

class ControlServer {
  public:
    // What a command answers: its lines, and an error (empty: ok).
    struct Reply {
        std::vector<std::string> lines;
        std::string error;
    };
    // The words after the command, unescaped.
    using Args = std::vector<std::string>;
    using Handler = std::function<void(const Args& args, Reply& reply)>;

    static constexpr std::size_t kMaxRequest = 1024;
    static constexpr std::size_t kMaxConnections = 4;

    // Creates the socket at `path` and listens. Throws std::runtime_error
    // when `path` exists and is not a socket, when a running server still
    // listens there, or when it cannot be bound; a stale socket file is
    // replaced.
    ControlServer(asio::io_context& io, const std::string& path, Log& log);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // `usage` names the words, e.g. "kick NAME [MINUTES]"; a request with
    // fewer than `least` or more than `most` words after the command is
    // refused with it.
    void add(const std::string& command, const std::string& usage, std::size_t least,
             std::size_t most, Handler handler);

    void start();
    // Stops accepting, ends open connections and removes the socket file.
    void close();

  private:
    struct Command {
        std::string usage;
        std::size_t least;
        std::size_t most;
        Handler handler;
    };
    class Connection;

    // A new client: served, or told why not.
    void welcome(asio::local::stream_protocol::socket socket);
    // The reply to a request line; an error is logged.
    Reply answer(const std::string& line);
    Reply carry_out(const std::string& line);

    asio::local::stream_protocol::acceptor acceptor_;
    Log& log_;
    AcceptLoop<asio::local::stream_protocol> loop_;
    std::string path_;
    dev_t device_ = 0;  // of the socket file made here: only that one is removed
    ino_t inode_ = 0;
    std::map<std::string, Command> commands_;
    std::vector<std::weak_ptr<Connection>> connections_;
    // Shared with the connections, which the event loop may let go of after
    // this is gone.
    std::shared_ptr<std::size_t> open_ = std::make_shared<std::size_t>(0);
    bool closed_ = false;
};

}  // namespace palaver::server

#endif
