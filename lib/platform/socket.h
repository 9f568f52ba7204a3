// The thin OS layer for TCP: every call the library makes on a socket goes
// through here, so POSIX and Winsock differ in this file's implementations
// only. Results follow the BSD conventions the rest of the code expects.
#ifndef PALAVER_LIB_PLATFORM_SOCKET_H
#define PALAVER_LIB_PLATFORM_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palaver::platform {

#if defined(_WIN32)
using SocketHandle = std::uintptr_t;
#else
using SocketHandle = int;
#endif

extern const SocketHandle kNoSocket;

// An IPv4 or IPv6 endpoint, port and address in network byte order (an IPv4
// address in the first 4 bytes). `family` is 0 until an address was stored,
// which no connect accepts.
struct Endpoint {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint8_t address[16] = {};
    std::uint32_t scope = 0;  // an IPv6 link-local address's interface
};

constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

// Starts and stops the socket layer (Winsock, asking for major.minor);
// nothing to do on POSIX.
bool network_startup(unsigned char major, unsigned char minor);
void network_cleanup();

// The socket layer's last error, and the ways the library looks at it.
int last_error();
void set_last_error(int code);
bool is_timeout(int code);    // a receive that gave up after its time-out
int timed_out_code();         // ETIMEDOUT, WSAETIMEDOUT: a wait that ran out
int invalid_argument_code();  // WSAEINVAL, EINVAL

std::uint16_t family_inet();
std::uint16_t host_to_network(std::uint16_t port);
// Dotted IPv4 text to an address in network order; kAddressNone when the text
// is not one (as 255.255.255.255 itself also gives).
std::uint32_t parse_dotted(const char* text);
// Looks a host name up; false when it has no IPv4 address.
bool resolve_ipv4(const char* name, std::uint32_t& address);
// An IPv4 endpoint of `address` (network order) and `port`.
Endpoint ipv4_endpoint(std::uint32_t address, std::uint16_t port);
// An IPv4 or IPv6 literal or a host name, and a port: the first address the
// system gives. False when nothing resolves.
bool resolve_any(const char* text, std::uint16_t port, Endpoint& endpoint);
// Every IPv4 and IPv6 address of `text`, in the order the system prefers
// them, each once; empty when nothing resolves.
std::vector<Endpoint> resolve_all(const char* text, std::uint16_t port);

SocketHandle open_tcp_socket(std::uint16_t family);
bool set_receive_timeout(SocketHandle s, int milliseconds);
// How a bounded wait on a socket ended; on Failed, last_error() says why.
enum class Readiness { Ready, TimedOut, Failed };
// Starts connecting without blocking; false when that failed at once.
bool begin_connect(SocketHandle s, const Endpoint& endpoint);
// Waits at most `milliseconds` for the connect begun above to complete.
// Once it is Ready the socket blocks again as before.
Readiness wait_connected(SocketHandle s, int milliseconds);
// Waits at most `milliseconds` for bytes (or the end of the stream) to read.
Readiness wait_readable(SocketHandle s, int milliseconds);
// One receive call: what the OS returned (above 0 bytes, 0 closed, below 0
// failed; see last_error()).
long receive_some(SocketHandle s, std::uint8_t* bytes, std::size_t count);
// How long send_all_within may wait on this socket, where the system keeps
// that on the socket (Winsock: SO_SNDTIMEO); POSIX needs nothing. Called when
// the limit changes, not per send.
bool set_send_limit(SocketHandle s, int milliseconds);
// Hands all `count` bytes to the system, waiting for room in its buffer at
// most `milliseconds` (below 0: without end). A socket with room takes them
// in one call, with no wait and no clock read. Never raises SIGPIPE. False when the send failed or
// the time ran out (last_error() is then timed_out_code() or the system's
// own time-out code); the stream may then have been cut inside the bytes.
bool send_all_within(SocketHandle s, const std::uint8_t* bytes, std::size_t count,
                     int milliseconds);
// True when a send would not block, waiting at most `milliseconds`.
bool wait_writable(SocketHandle s, int milliseconds);
// Host-driven clients: the socket never blocks from their login on.
bool set_nonblocking(SocketHandle s);
// A call on a non-blocking socket that found nothing to do (EAGAIN,
// WSAEWOULDBLOCK): not a failure.
bool is_would_block(int code);
// One send that never waits: the bytes the system took (above 0), 0 when it
// has no room now, below 0 when the send failed (see last_error()). Never
// raises SIGPIPE.
long send_some(SocketHandle s, const std::uint8_t* bytes, std::size_t count);

// Ends both directions, waking a thread blocked in receive_some at once.
void shutdown_both(SocketHandle s);
void close_socket(SocketHandle s);

}  // namespace palaver::platform

#endif
