// The Asio names the server uses.
#ifndef PALAVER_SERVER_NET_H
#define PALAVER_SERVER_NET_H

#include <asio.hpp>

namespace palaver::server {

using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

}  // namespace palaver::server

#endif
