#include "server/metrics_listener.h"

#include <algorithm>
#include <array>
#include <optional>

#include "server/log.h"
#include "server/server_state.h"

namespace palaver::server {
namespace {

// What the client may still send after its response, read and dropped so
// that closing with unread bytes does not reset the connection under the
// response.
constexpr std::size_t kMaxDiscard = 65536;
// The most of a request line the debug log shows.
constexpr std::size_t kLoggedLine = 200;

struct RequestLine {
    std::string_view method;
    std::string_view target;
    std::string_view version;
};

// "METHOD TARGET VERSION", one space apart, nothing else.
std::optional<RequestLine> split(std::string_view line) {
    auto first = line.find(' ');
    auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    return RequestLine{line.substr(0, first), line.substr(first + 1, second - first - 1),
                       line.substr(second + 1)};
}

std::string response(std::string_view status, std::string_view contentType,
                     std::string_view extraHeader, const std::string& body) {
    std::string text = "HTTP/1.1 ";
    text.append(status).append("\r\nContent-Type: ").append(contentType);
    text.append("\r\nContent-Length: ").append(std::to_string(body.size()));
    text.append("\r\nConnection: close\r\n").append(extraHeader).append("\r\n").append(body);
    return text;
}

std::string error_response(std::string_view status, std::string_view extraHeader = {}) {
    return response(status, "text/plain; charset=utf-8", extraHeader, std::string(status) + "\n");
}

std::string text_of(const tcp::endpoint& endpoint) {
    std::string address = endpoint.address().to_string();
    if (endpoint.address().is_v6()) {
        address = "[" + address + "]";
    }
    return address + ":" + std::to_string(endpoint.port());
}

}  // namespace

class MetricsListener::Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(tcp::socket socket, MetricsListener& owner, std::string peer)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
          owner_(owner),
          peer_(std::move(peer)) {}

    void start() {
        // One time limit for the whole exchange: the head, the response,
        // the client's close.
        timer_.expires_after(kTimeLimit);
        timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
            if (!ec) {
                self->close();
            }
        });
        asio::async_read_until(socket_, asio::dynamic_buffer(head_, kMaxHead), "\r\n\r\n",
                               [self = shared_from_this()](const asio::error_code& ec,
                                                           std::size_t) { self->on_head(ec); });
    }

    void close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        timer_.cancel();
        asio::error_code ignored;
        socket_.close(ignored);
        owner_.forget(this);
    }

  private:
    void on_head(const asio::error_code& ec) {
        if (closed_) {
            return;
        }
        if (ec == asio::error::not_found) {  // no end of the head within kMaxHead
            respond(error_response("431 Request Header Fields Too Large"));
        } else if (ec) {
            close();
        } else {
            respond(owner_.answer(std::string_view(head_).substr(0, head_.find("\r\n")), peer_));
        }
    }

    void respond(std::string text) {
        response_ = std::move(text);
        asio::async_write(socket_, asio::buffer(response_),
                          [self = shared_from_this()](const asio::error_code& ec, std::size_t) {
                              if (self->closed_) {
                                  return;
                              }
                              if (ec) {
                                  self->close();
                                  return;
                              }
                              asio::error_code ignored;
                              self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                              self->discard();
                          });
    }

    // Reads what the client still sends until it closes its end.
    void discard() {
        socket_.async_read_some(
            asio::buffer(sink_),
            [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                if (self->closed_) {
                    return;
                }
                self->discarded_ += n;
                if (ec || self->discarded_ > kMaxDiscard) {
                    self->close();
                    return;
                }
                self->discard();
            });
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    MetricsListener& owner_;
    std::string peer_;
    std::string head_;
    std::string response_;
    std::array<char, 4096> sink_;
    std::size_t discarded_ = 0;
    bool closed_ = false;
};

MetricsListener::MetricsListener(asio::io_context& io, const tcp::endpoint& endpoint,
                                 ServerState& state)
    : acceptor_(io),
      state_(state),
      loop_(acceptor_, state.log(), "metrics: "),
      scrapes_(kScrapesPerSecond, kScrapesPerSecond, Clock::now()) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
}

MetricsListener::~MetricsListener() = default;

tcp::endpoint MetricsListener::endpoint() const {
    asio::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void MetricsListener::start() {
    loop_.start([this](tcp::socket socket) { take(std::move(socket)); });
}

void MetricsListener::close() {
    loop_.close();
    auto open = std::move(open_);
    open_.clear();
    for (auto& connection : open) {
        connection->close();
    }
}

void MetricsListener::forget(const Connection* connection) {
    auto found = std::find_if(open_.begin(), open_.end(),
                              [&](const auto& held) { return held.get() == connection; });
    if (found != open_.end()) {
        open_.erase(found);
    }
}

void MetricsListener::take(tcp::socket socket) {
    asio::error_code gone;
    tcp::endpoint peer = socket.remote_endpoint(gone);
    if (!gone && open_.size() >= kMaxConnections) {
        state_.log().debug("metrics: closed a connection from ", text_of(peer), ": ",
                           kMaxConnections, " are open");
    } else if (!gone) {
        open_.push_back(std::make_shared<Connection>(std::move(socket), *this, text_of(peer)));
        open_.back()->start();
    }
}

std::string MetricsListener::answer(std::string_view line, const std::string& peer) {
    auto request = split(line);
    std::string refusal;
    if (!request || (request->version != "HTTP/1.1" && request->version != "HTTP/1.0")) {
        refusal = error_response("400 Bad Request");
    } else if (request->target.substr(0, request->target.find('?')) != "/metrics") {
        refusal = error_response("404 Not Found");
    } else if (request->method != "GET") {
        refusal = error_response("405 Method Not Allowed", "Allow: GET\r\n");
    } else if (!scrapes_.spend(1, Clock::now())) {
        refusal = error_response("503 Service Unavailable", "Retry-After: 1\r\n");
    }
    if (!refusal.empty()) {
        state_.log().debug("metrics: ", refusal.substr(9, refusal.find('\r') - 9), " to ", peer,
                           " for \"", untrusted(line.substr(0, kLoggedLine)), "\"");
        return refusal;
    }
    return response("200 OK", "text/plain; version=0.0.4; charset=utf-8", {},
                    state_.metrics_text());
}

}  // namespace palaver::server
