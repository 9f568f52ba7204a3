// Palaver: client library of a shared 3D chat room.
//
// The chatComunicate functions drive one client per process, the module's
// default client. The host sets the server address, logs in, then polls the
// library for the room's users, chat lines, notices and actions, which a
// background thread collects while it runs. For many clients, other
// compilers and other languages, see palaver_c.h (C) and palaver.hpp (C++).
//
// Threading: every function may be called from any host thread. Login and
// Logout are serialised against each other. Queries copy under the library's
// locks and never call back into the host.
//
// Ownership: the containers passed to the queries belong to the host. The
// elements the library puts in them are allocated with the standard allocator
// inside the library, so host and library must be built against the same C++
// standard library and share one heap (on Windows: the same MinGW-w64 runtime
// DLLs, see README.md).
//
// Text: NUL-terminated byte strings in the host's code page. The library's own
// notice texts (arrival, departure, rename) are GBK (code page 936).
#ifndef PALAVER_H
#define PALAVER_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(PALAVER_BUILDING)
#define PALAVER_API __declspec(dllexport)
#elif defined(PALAVER_STATIC)
#define PALAVER_API
#else
#define PALAVER_API __declspec(dllimport)
#endif
#else
#if defined(PALAVER_BUILDING)
#define PALAVER_API __attribute__((visibility("default")))
#else
#define PALAVER_API
#endif
#endif

#include "palaver_records.h"

#pragma pack(push, 1)

// One chat line, or a system notice (sender and target -2, empty location key)
// composed by the library. The text object starts at byte 13 on purpose: the
// record is packed so that its plain fields match the Talk message.
struct stChatContent {
    std::int32_t sender;           // speaker's user id; -2 for a system notice
    std::int32_t target;           // user id the line was addressed to; -2 for a notice
    unsigned char locationKey[4];  // the sender's location key
    bool flag;                     // true when the Talk's flag byte was exactly 1 (a whisper)
    std::string text;              // the line without its terminating NUL
};

#pragma pack(pop)

// Users are ordered and deduplicated by signed user id alone.
inline bool operator<(const stUserInfo& a, const stUserInfo& b) {
    return a.userId < b.userId;
}

namespace chatComunicate {

// Stores the chat server's address: a dotted IPv4 address or a host name, and
// the port (its low 16 bits). Returns 1 when an address was stored, 0 when the
// string is null (nothing changed) or the name does not resolve (the socket
// layer's last error is then "invalid argument", WSAEINVAL / EINVAL).
PALAVER_API int SetServerIPandPort(const char* address, int port);

// Connects, sends `user` and the login string, and reads the login reply. On
// success `user` and the own record (GetUserMySelf) hold the server's record
// for this user, the user list holds the others in the room, and the receive
// thread runs (it also sends the KeepAlives). A connection that is still open is ended first,
// as Logout would.
// Login takes at most 10 s in all, connect included, however the network
// behaves; a Logout on another thread calls it off at once (Login then returns
// 0). A second Login while one is under way waits for it.
// Returns 1 logged in; 0 no connection, the request could not be sent, the
// reply did not arrive within the 10 s, a Logout called it off, or the login
// string is null or longer than 20 bytes; the server's negative refusal code
// unchanged; -1 when the reply broke off part way. A failed Login leaves no connection behind.
PALAVER_API int Login(stUserInfo& user, const char* loginString);

// Tells the server the user leaves (when the notice can go out), stops and
// waits for the receive thread and closes the connection. Returns promptly;
// with no connection it returns at once and changes nothing. The user list,
// chat lines, actions and own record stay as they were.
PALAVER_API void Logout();

// True from a successful Login until the connection ends, whether by Logout
// or because it broke (the server closed it, a network error, a broken stream,
// a send that failed). A host that sees false after a successful Login can
// report it and log in again.
PALAVER_API bool IsConnected();

// TLS for the next Login: on with `enable` true, off (plain TCP, the default)
// with false. The server's certificate must chain to an authority in
// `caFile` (a PEM file) or, when it is null, in the system's trust store, and
// must name the address given to SetServerIPandPort; otherwise Login returns
// 0 and never falls back to plain text. Returns false, changing nothing, when
// this system has no TLS library (Linux: libssl.so.3) or `caFile` cannot be
// opened. After a Login that returned 0, palaver_last_error() and
// palaver_last_error_detail() (palaver_c.h) on the same thread say why, e.g.
// PALAVER_E_TLS_CERTIFICATE and "certificate has expired".
PALAVER_API bool UseTls(bool enable, const char* caFile);

// Requests. Each writes one whole message and returns true when every byte of
// it was accepted by the connection (not that the server acted on it); false
// when an argument is refused (nothing is sent) or no connection is open or
// the write fails. A failed write ends the connection (IsConnected turns
// false). A null text, name or picture gives false.
PALAVER_API bool SendTalk(int target, const char* text, bool whisper);  // text: at most 300 bytes
PALAVER_API bool DoAnction(int target, unsigned char action);
PALAVER_API bool Walk2Pos(double x, double y, double z, float fourth);
// At most 30 bytes. The own name is unchanged until the server confirms it;
// a name equal to the own name gives true at once and sends nothing.
PALAVER_API bool ChangeName(char* name);
PALAVER_API bool ChangeModel(int model);
PALAVER_API bool ChangePic(char* picture);  // at most 10 bytes
PALAVER_API bool KickPerson(int userId, int banMinutes);
PALAVER_API bool GetAllUserInRoom();  // the room list arrives later through GetUserList

// Queries. They never touch the network and never throw: when memory runs out
// the host's container and the library's store are left as they were.
//
// Adds every known user whose id `users` does not hold yet (pass an empty set
// for the current room). The own user is never in it.
PALAVER_API void GetUserList(std::set<stUserInfo>& users);
// Appends the chat lines and notices that arrived since the last call, oldest
// first; each reaches the host exactly once.
PALAVER_API void GetTalk(std::vector<stChatContent>& lines);
// Appends the latest action of each (sender, target) pair since the last call.
PALAVER_API void GetActionList(std::vector<stActionContent>& actions);
// The own record itself, live: the same address for the life of the module,
// all zero before the first Login. During a rename a host reading the name
// through it may see a mix of the old and new bytes, but always a name that
// ends with a NUL within bytes 4 to 78.
PALAVER_API stUserInfo* GetUserMySelf();

}  // namespace chatComunicate

// Placeholder exports: part of the module's interface, unused by the library.
class PALAVER_API CPalaver {
  public:
    CPalaver();
    CPalaver& operator=(const CPalaver& other);
};

PALAVER_API int fnPalaver();
extern PALAVER_API int nPalaver;

#endif  // PALAVER_H
