#include "metrics_scrape.h"

#include <asio.hpp>
#include <cstdlib>
#include <stdexcept>

namespace palaver::bench {

double scrape_metric(std::uint16_t port, const std::string& name) {
    using asio::ip::tcp;
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    asio::write(socket, asio::buffer(std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                 "Connection: close\r\n\r\n")));
    // The endpoint answers one request per connection and then closes it.
    std::string reply;
    asio::error_code ec;
    asio::read(socket, asio::dynamic_buffer(reply), ec);
    const std::string where = "/metrics on port " + std::to_string(port);
    if (ec != asio::error::eof || reply.rfind("HTTP/1.1 200 ", 0) != 0) {
        throw std::runtime_error(where + " did not answer 200: " + reply.substr(0, 40));
    }
    std::size_t at = reply.find("\n" + name + " ");
    if (at == std::string::npos) {
        throw std::runtime_error(where + " has no " + name);
    }
    return std::strtod(reply.c_str() + at + name.size() + 2, nullptr);
}

}  // namespace palaver::bench
