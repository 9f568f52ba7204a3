#include "server/control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "server/control_server.h"
#include "server/word_escape.h"

namespace palaver::server {
namespace {

constexpr int kReplyTimeoutMs = 30000;

int usage(std::ostream& out, int status) {
    out << "usage: palaver-server ctl [--control PATH] COMMAND [ARGS...]\n"
           "commands: rooms, users [ROOM], kick NAME [MINUTES], ban NAME MINUTES, unban NAME,\n"
           "          bans, reload, stats (docs/server.md, Control)\n"
           "PATH defaults to "
        << kDefaultControlPath << "\n";
    return status;
}

int fail(const std::string& what) {
    std::cerr << "palaver-server ctl: " << what << "\n";
    return 1;
}

// The whole reply, until the server closes; false when it broke off.
bool exchange(int fd, const std::string& request, std::string& reply) {
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, kReplyTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        reply.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

int run_control_client(int argc, char** argv) {
    std::string path = kDefaultControlPath;
    int at = 0;
    if (at < argc && (std::strcmp(argv[at], "-h") == 0 || std::strcmp(argv[at], "--help") == 0)) {
        return usage(std::cout, 0);
    }
    if (at + 1 < argc && std::strcmp(argv[at], "--control") == 0) {
        path = argv[at + 1];
        at += 2;
    }
    if (at >= argc) {
        return usage(std::cerr, 2);
    }
    std::string request;
    for (int i = at; i < argc; ++i) {
        request += (i == at ? "" : " ") + escape_word(argv[i]);
    }
    request += '\n';
    if (request.size() > ControlServer::kMaxRequest) {
        return fail("the request is longer than " + std::to_string(ControlServer::kMaxRequest) +
                    " bytes");
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return fail("--control " + path + ": not a usable socket path");
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::string why = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return fail("cannot reach the server at " + path + ": " + why);
    }
    std::string reply;
    bool whole = exchange(fd, request, reply);
    ::close(fd);

    // The last line says how it went; the lines before it are the answer.
    if (!reply.empty() && reply.back() == '\n') {
        reply.pop_back();
    }
    auto last = reply.rfind('\n');
    std::string verdict = last == std::string::npos ? reply : reply.substr(last + 1);
    std::string body = last == std::string::npos ? std::string() : reply.substr(0, last + 1);
    if (!whole || (verdict != "ok" && verdict.rfind("error: ", 0) != 0)) {
        std::cout << body;
        return fail("the server's reply broke off");
    }
    std::cout << body << std::flush;
    if (verdict != "ok") {
        return fail(verdict);
    }
    return 0;
}

}  // namespace palaver::server
