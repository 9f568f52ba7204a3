// Clients of the C interface for the benchmarks: owned handles, logged in to
// a palaver-server on loopback.
#ifndef PALAVER_BENCH_C_CLIENTS_H
#define PALAVER_BENCH_C_CLIENTS_H

#include <cstdint>
#include <memory>
#include <string>

#include "palaver_c.h"

namespace palaver::bench {

struct ClientFree {
    void operator()(palaver_client* c) const { palaver_client_free(c); }
};
using ClientHandle = std::unique_ptr<palaver_client, ClientFree>;

struct LoggedIn {
    ClientHandle client;
    std::int32_t id = 0;
};

// With a receive thread of its own (palaver_client_new), or driven by the
// host's own loop (palaver_client_new_host_driven).
enum class ClientKind { Threaded, HostDriven };

// A new client logged in to 127.0.0.1:port as `name` in `room`. Throws with
// the library's error text when it cannot.
LoggedIn log_in(std::uint16_t port, const std::string& name, std::uint32_t room,
                ClientKind kind = ClientKind::Threaded);

// "what: the text of the calling thread's last error".
std::string last_error_text(const char* what);

}  // namespace palaver::bench

#endif
