/* Palaver: the C interface of the chat-room client library. (Named
 * palaver_c.h so that it and Palaver.h can share one folder where file names
 * ignore case, as on Windows.)
 *
 * Any compiler and any language that calls C can use it: only C types cross
 * it, and nothing allocated on one side is freed on the other. A process may
 * hold many clients; each owns its connection, its receive thread, its room
 * and its locks, and clients never share state.
 *
 * Every function is safe to call from any thread. A null client or a null
 * pointer where the library needs one is refused with PALAVER_E_INVALID,
 * never a crash. A function that fails sets the calling thread's last error
 * (palaver_last_error); one that succeeds sets it to PALAVER_OK. A call on a
 * client also leaves its code with that client, for any thread to read
 * (palaver_client_last_error).
 *
 * Threads and freeing: any number of threads may be inside calls of one
 * client at once (waits, sends, a login, queries). palaver_wakeup ends one
 * wait, palaver_logout every wait. palaver_client_free may be called while
 * other threads are still inside calls of that client: it refuses new calls
 * (PALAVER_E_INVALID), wakes the waits, calls a login off, ends the
 * connection (which ends a blocked send), waits until every call has left,
 * and only then frees. After free returns, the handle must not be used.
 *
 * Text: NUL-terminated byte strings in the room's code page. The library's own
 * notice texts (arrival, departure, rename) are GBK (code page 936).
 *
 * Timing: palaver_login takes at most 10 s in all; the library keeps the
 * connection alive with a short message every 20 s. */
#ifndef PALAVER_C_INTERFACE_H
#define PALAVER_C_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#include "palaver_records.h"

#if defined(_WIN32)
#if defined(PALAVER_BUILDING)
#define PALAVER_C_API __declspec(dllexport)
#elif defined(PALAVER_STATIC)
#define PALAVER_C_API
#else
#define PALAVER_C_API __declspec(dllimport)
#endif
#elif defined(PALAVER_BUILDING)
#define PALAVER_C_API __attribute__((visibility("default")))
#else
#define PALAVER_C_API
#endif

/* Marks a function kept for old hosts; the compiler names the replacement. */
#if defined(_MSC_VER)
#define PALAVER_DEPRECATED(why) __declspec(deprecated(why))
#elif defined(__GNUC__) || defined(__clang__)
#define PALAVER_DEPRECATED(why) __attribute__((deprecated(why)))
#else
#define PALAVER_DEPRECATED(why)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, "MAJOR.MINOR.PATCH". */
#define PALAVER_VERSION_MAJOR 1
#define PALAVER_VERSION_MINOR 4
#define PALAVER_VERSION_PATCH 0
PALAVER_C_API const char* palaver_version(void);

typedef struct palaver_client palaver_client;

/* Error codes: 0 or negative. */
enum {
    PALAVER_OK = 0,
    PALAVER_E_INVALID = -1,          /* a null client or pointer, a bad argument */
    PALAVER_E_TOO_LONG = -2,         /* text, name, picture or login string too long */
    PALAVER_E_NOT_CONNECTED = -3,    /* no connection is open */
    PALAVER_E_RESOLVE = -4,          /* the server's name does not resolve */
    PALAVER_E_NO_ADDRESS = -5,       /* login before a server address was set */
    PALAVER_E_CONNECT = -6,          /* the connection could not be made or broke */
    PALAVER_E_TIMEOUT = -7,          /* the login reply did not come within 10 s */
    PALAVER_E_CANCELLED = -8,        /* a logout called the login off */
    PALAVER_E_REFUSED = -9,          /* the server refused the login */
    PALAVER_E_BROKEN_REPLY = -10,    /* the login reply broke off part way */
    PALAVER_E_SEND = -11,            /* a send failed; the connection has ended */
    PALAVER_E_NO_MEMORY = -12,       /* memory ran out */
    PALAVER_E_THREAD = -13,          /* the receive thread could not be started */
    PALAVER_E_TLS_UNAVAILABLE = -14, /* TLS asked for, but no TLS library (libssl.so.3) */
    PALAVER_E_TLS_SETUP = -15,       /* TLS could not be set up (the CA file is unreadable) */
    PALAVER_E_TLS_CERTIFICATE = -16, /* the server's certificate was refused */
    PALAVER_E_TLS_HANDSHAKE = -17,   /* the TLS handshake failed (not a TLS server, ...) */
    PALAVER_E_INTERNAL = -18,        /* a fault inside the library */
    PALAVER_E_BUSY = -19             /* a host-driven client's send buffer is full */
};
/* The code the calling thread's last call of this interface left. */
PALAVER_C_API int palaver_last_error(void);
/* A short English text for a code; never null. */
PALAVER_C_API const char* palaver_error_text(int code);
/* What the failing layer itself said about the calling thread's last error,
 * such as the TLS library's reason for refusing a certificate ("certificate
 * has expired", "hostname mismatch"); "" when there is nothing to add. Never
 * null; valid until this thread's next call of this interface. */
PALAVER_C_API const char* palaver_last_error_detail(void);
/* The code the client's last call left, whichever thread made it: for a
 * thread that watches a client another thread drives. PALAVER_E_INVALID for a
 * null client. Reading it changes neither this nor the thread's last error. */
PALAVER_C_API int palaver_client_last_error(const palaver_client* client);
/* The detail of the client's last call (as palaver_last_error_detail), copied
 * NUL-terminated into `buffer` as far as `capacity` allows; returns its full
 * length without the NUL, so capacity 0 (buffer may then be null) sizes it. 0
 * for a null client. */
PALAVER_C_API size_t palaver_client_last_error_detail(const palaver_client* client, char* buffer,
                                                      size_t capacity);

/* One chat line or notice (sender and target -2) as the library received it. */
#define PALAVER_TEXT_MAX 500
typedef struct palaver_chat_line {
    int32_t sender;                  /* speaker's user id; -2 for a notice */
    int32_t target;                  /* user id the line was addressed to */
    unsigned char locationKey[4];    /* the sender's location key */
    uint8_t whisper;                 /* 1 when the line was whispered */
    uint16_t length;                 /* bytes in text, without its NUL */
    char text[PALAVER_TEXT_MAX + 1]; /* NUL-terminated */
} palaver_chat_line;

/* A new client with no server address and no connection; null when memory
 * ran out. Free it with palaver_client_free, which ends its connection; other
 * threads may still be inside calls of it (see "Threads and freeing" above). */
PALAVER_C_API palaver_client* palaver_client_new(void);
PALAVER_C_API void palaver_client_free(palaver_client* client);

/* The server's address: an IPv4 or IPv6 literal or a host name, and a port
 * (1-65535). 1 stored, 0 refused (the name does not resolve now, a bad port).
 * Each login looks a name up again and tries its addresses (IPv6 and IPv4)
 * in the order the system gives until one connects, all within the login's
 * 10 s; when the name no longer resolves, it tries the address found here. */
PALAVER_C_API int palaver_set_server(palaver_client* client, const char* address, int port);

/* TLS, per client, from its next login on. Off by default: a client that
 * never enables it talks plain TCP exactly as before. With TLS on, the
 * server's certificate must chain to a trusted authority and name the
 * address given to palaver_set_server (a host name or an IP literal); a
 * login that fails so returns 0 with a PALAVER_E_TLS_* code and the reason in
 * palaver_last_error_detail, and never falls back to plain text. Linux loads
 * libssl.so.3 the first time a client enables TLS. Each returns 1 stored, 0
 * refused (see the last error).
 *
 * enable: 1 on, 0 off; 0 with PALAVER_E_TLS_UNAVAILABLE when this system has
 * no TLS library. */
PALAVER_C_API int palaver_set_tls(palaver_client* client, int enable);
/* The authorities to trust, a PEM file, instead of the system's trust store;
 * NULL goes back to the system's store. Read at each login. */
PALAVER_C_API int palaver_set_tls_ca_file(palaver_client* client, const char* pem_path);
/* verify: 1 (the default) checks the certificate and the name; 0 accepts any
 * certificate. 0 is for tests and labs only: it gives no protection against
 * anyone on the path. */
PALAVER_C_API int palaver_set_tls_verify(palaver_client* client, int verify);

/* Connects (and makes the TLS handshake when TLS is on), sends `user` and
 * the login string (at most 20 bytes), and reads the login reply; a
 * connection that is still open is ended first. On success
 * `user` and the own record hold the server's record for this user and the
 * room's users are known. Returns 1 logged in; 0 failed (see the last error);
 * the server's negative refusal code unchanged; -1 when the reply broke off.
 * At most 10 s in all; palaver_logout from another thread calls it off.
 * The server's refusal codes and -1 overlap: to tell every outcome apart, use
 * palaver_login_with_status. */
PALAVER_C_API int palaver_login(palaver_client* client, stUserInfo* user, const char* login);
/* The same login, with results that never collide: PALAVER_OK (0) logged in,
 * else the PALAVER_E_* code (PALAVER_E_REFUSED, PALAVER_E_BROKEN_REPLY,
 * PALAVER_E_TIMEOUT, PALAVER_E_CONNECT, PALAVER_E_CANCELLED, ...). When
 * `server_status` is not null it receives the server's status word: 1 logged
 * in, the server's own negative code when it refused, the reply's positive
 * word when the reply broke off after it, 0 when no status came. */
PALAVER_C_API int palaver_login_with_status(palaver_client* client, stUserInfo* user,
                                            const char* login, int32_t* server_status);
/* Says goodbye when that cannot block, stops the receive thread and closes the
 * connection; calls off a login under way. 1 done, 0 for a null client. */
PALAVER_C_API int palaver_logout(palaver_client* client);
/* 1 from a successful login until the connection ends, else 0. */
PALAVER_C_API int palaver_is_connected(const palaver_client* client);

/* Requests: each writes one whole message. 1 when every byte of it was
 * written (not that the server acted on it), 0 when refused or failed (see
 * the last error). A failed write ends the connection. */
PALAVER_C_API int palaver_send_talk(palaver_client* client, int32_t target, const char* text,
                                    int whisper); /* text: at most 300 bytes */
/* `count` Talk lines to one target, sent in order with as few writes as the
 * system allows: what a host sending many lines at once uses. Every text is
 * checked before anything is sent; one that is null (PALAVER_E_INVALID) or
 * longer than 300 bytes (PALAVER_E_TOO_LONG) refuses the whole batch, and none
 * of its lines is sent. 1 when every line was written; 0 when refused, or when
 * a write failed, which ends the connection: lines before the failed write may
 * have gone out. No lines (count 0) is 1; `texts` may then be null. */
PALAVER_C_API int palaver_send_talks(palaver_client* client, int32_t target,
                                     const char* const* texts, size_t count, int whisper);
PALAVER_C_API int palaver_do_action(palaver_client* client, int32_t target, unsigned char action);
PALAVER_C_API int palaver_walk(palaver_client* client, double x, double y, double z, float fourth);
/* At most 30 bytes; the own name changes when the server confirms it. */
PALAVER_C_API int palaver_change_name(palaver_client* client, const char* name);
PALAVER_C_API int palaver_change_model(palaver_client* client, int32_t model);
PALAVER_C_API int palaver_change_picture(palaver_client* client,
                                         const char* picture); /* at most 10 bytes */
PALAVER_C_API int palaver_kick(palaver_client* client, int32_t user_id, int32_t ban_minutes);
/* Asks for the whole room; it replaces the user set when it arrives. */
PALAVER_C_API int palaver_request_room_list(palaver_client* client);

/* Queries. None touches the network. Each copies into the caller's array of
 * `capacity` elements, sets *written, and returns how many more wait (0 when
 * everything was copied), or -1 when refused (see the last error). A loop
 * that calls until 0 drains everything.
 *
 * The users of the room (the own user not among them), ordered by id: a
 * snapshot. Capacity 0 (users may be null) returns how many there are; to
 * read them all, size once and copy, calling again when the set grew between
 * the two calls. Only a call that copied the whole set takes the
 * PALAVER_EVENT_USERS mark: a size probe leaves it set. */
PALAVER_C_API int palaver_get_users(palaver_client* client, stUserInfo* users, size_t capacity,
                                    size_t* written);
/* Takes the oldest chat lines and notices: each reaches the host once. */
PALAVER_C_API int palaver_get_talk(palaver_client* client, palaver_chat_line* lines,
                                   size_t capacity, size_t* written);
/* Takes the latest action of each (sender, target) pair since the last call. */
PALAVER_C_API int palaver_get_actions(palaver_client* client, stActionContent* actions,
                                      size_t capacity, size_t* written);

/* The own record, copied under the library's lock: never a torn name. 1, or 0
 * for a null argument. All zero before the first login. */
PALAVER_C_API int palaver_copy_self(palaver_client* client, stUserInfo* self);
/* The own record itself, live, at the same address for the client's life. A
 * rename that lands while the host reads may show a mix of old and new name
 * bytes, always ending with a NUL inside the name field. Null for a null client.
 * Kept for old hosts: palaver_copy_self never shows a torn name. */
PALAVER_DEPRECATED("use palaver_copy_self, which never shows a torn name")
PALAVER_C_API const stUserInfo* palaver_self(palaver_client* client);

/* What palaver_wait reports, as bits. */
enum {
    PALAVER_EVENT_TALK = 1,         /* chat lines or notices wait (palaver_get_talk) */
    PALAVER_EVENT_ACTION = 2,       /* actions wait (palaver_get_actions) */
    PALAVER_EVENT_USERS = 4,        /* the user set changed since it was last read */
    PALAVER_EVENT_DISCONNECTED = 8, /* the connection broke; reported until logout or login
                                       (once, while reconnect tries go on) */
    PALAVER_EVENT_WAKEUP = 16,      /* palaver_wakeup, palaver_logout or palaver_client_free */
    PALAVER_EVENT_RECONNECTED = 32  /* logged in again after a break (palaver_set_reconnect);
                                       reported once, by the wait that takes it */
};
/* Blocks until something of the above holds or `timeout_ms` pass (0 only
 * looks, a negative time-out waits without end). Returns the bits that hold,
 * 0 on the time-out, -1 when refused. Several threads may wait at once. */
PALAVER_C_API int palaver_wait(palaver_client* client, int timeout_ms);
/* Makes one blocked palaver_wait return at once with PALAVER_EVENT_WAKEUP;
 * when no thread waits, the next wait returns at once with it. Wakes asked
 * for before a wait takes them count as one. For a host that must stop a
 * waiting thread (to quit, or to hand it other work). 1 done, 0 for a null
 * client. palaver_logout wakes every thread waiting on the client the same
 * way, with whatever else holds. */
PALAVER_C_API int palaver_wakeup(palaver_client* client);

/* Limits: what a client gives a server that stops reading and a host that
 * stops taking lines. Each returns 1 stored, 0 refused (a null client, a
 * limit below 1).
 *
 * How long a send may wait for the system to take its bytes, in ms; 10,000
 * by default, from the client's next send on. A send that cannot go out in
 * time ends the connection (PALAVER_E_SEND; palaver_wait reports
 * PALAVER_EVENT_DISCONNECTED) instead of blocking until the system gives up,
 * and a sender waiting behind it gives up after the same time (PALAVER_E_SEND,
 * or PALAVER_E_NOT_CONNECTED once the connection has ended). The KeepAlive
 * obeys it too. Lower it when a thread that sends must not stall for long,
 * such as a user interface's. */
PALAVER_C_API int palaver_set_send_limit(palaver_client* client, int limit_ms);
/* The most chat lines and notices the client keeps for palaver_get_talk, and
 * the most bytes they may take (each line its text and 15 more); by default
 * 100,000 lines and 64 MiB. Beyond either, the oldest lines are dropped and
 * counted; a line that alone is larger than max_bytes is kept. The user set
 * never depends on the lines: it stays right whatever is dropped. */
PALAVER_C_API int palaver_set_talk_limit(palaver_client* client, size_t max_lines,
                                         size_t max_bytes);
/* Lines dropped for that limit since the client was made; 0 for null. A host
 * that sees it grow takes its lines too seldom. */
PALAVER_C_API uint64_t palaver_dropped_talk(const palaver_client* client);

/* ---- Driving clients from the host's own loop ----
 *
 * A host-driven client has no receive thread: the host waits on its socket
 * in its own loop (poll, epoll, select, libuv, asyncio, a game's frame) and
 * calls palaver_process when the socket is ready or palaver_next_timeout has
 * run out. Queries, palaver_wait, sends and palaver_logout work as for a
 * threaded client (palaver_wait on a host-driven client drives it itself:
 * it waits on the socket and processes until something is there);
 * palaver_login still blocks (at most 10 s, called off by a logout). Sends
 * never block: each is written at once, and what the socket does not take
 * waits in the client's send buffer for palaver_process (see
 * palaver_set_send_batching for one write per turn). A send that would
 * overfill the buffer is refused whole with PALAVER_E_BUSY and the
 * connection stays. Bytes that make no progress within
 * the send limit (palaver_set_send_limit) end the connection.
 *
 *     palaver_client* c = palaver_client_new_host_driven();
 *     ... palaver_set_server, palaver_login ...
 *     for (;;) {
 *         struct pollfd p = {palaver_socket_of(c), POLLIN, 0};
 *         if (palaver_want_write(c)) p.events |= POLLOUT;
 *         poll(&p, 1, palaver_next_timeout(c));
 *         int events = palaver_process(c);
 *         if (events & PALAVER_EVENT_TALK) ... palaver_get_talk ...
 *     }
 */
#if defined(_WIN32)
typedef uintptr_t palaver_socket; /* a SOCKET */
#define PALAVER_NO_SOCKET (~(palaver_socket)0)
typedef void* palaver_event; /* a HANDLE for WaitForSingleObject/WaitForMultipleObjects */
#define PALAVER_NO_EVENT ((palaver_event)0)
#else
typedef int palaver_socket;
#define PALAVER_NO_SOCKET (-1)
typedef int palaver_event; /* a descriptor for poll, select, epoll */
#define PALAVER_NO_EVENT (-1)
#endif

/* A new host-driven client; null when memory ran out. Free it with
 * palaver_client_free like any client. */
PALAVER_C_API palaver_client* palaver_client_new_host_driven(void);
/* 1 for a host-driven client, 0 for a threaded one or null. */
PALAVER_C_API int palaver_is_host_driven(const palaver_client* client);
/* The socket of the open connection, PALAVER_NO_SOCKET when none is open. It
 * changes with every login and reconnect, and a reconnect inside
 * palaver_process may close it and open the next with the same number: ask
 * each time round the loop, and a loop that registers descriptors (epoll,
 * asyncio) registers again after each call. The library reads and writes
 * it; the host only waits on it (on Windows with select or WSAPoll) and
 * never closes it. */
PALAVER_C_API palaver_socket palaver_socket_of(palaver_client* client);
/* 1 while the send buffer holds bytes: wait for the socket to be writable as
 * well as readable. 0 otherwise or for a threaded client. */
PALAVER_C_API int palaver_want_write(palaver_client* client);
/* Does what the socket is ready for without blocking: reads and handles what
 * arrived (TLS included), writes what the send buffer holds, sends the
 * KeepAlive when due, ends a connection that broke or stalled, and starts a
 * reconnect try when one is due (on a thread of its own while it lasts, so
 * this call never blocks). Returns what palaver_wait(client, 0) would, -1
 * when refused. Safe to call at any time, ready or not; for a threaded
 * client it only looks. */
PALAVER_C_API int palaver_process(palaver_client* client);
/* Milliseconds until palaver_process must run even if the socket stays
 * quiet (the KeepAlive, the send limit, a reconnect's back-off; every 50 ms
 * while a reconnect try runs): the time-out for the host's wait. -1 when nothing is due (no
 * connection, or a threaded client), 0 when it is due now. */
PALAVER_C_API int palaver_next_timeout(palaver_client* client);
/* The most bytes a host-driven client keeps for the socket; 1 MiB by
 * default. 1 stored, 0 refused (below 1). */
PALAVER_C_API int palaver_set_send_buffer(palaver_client* client, size_t max_bytes);
/* Off by default. On: a send on the thread that drives the client (the one
 * that last called palaver_process or palaver_poller_wait) waits in the send
 * buffer for that thread's next turn, which writes every line sent meanwhile
 * in one call instead of one write each; a send from another thread still
 * goes at once. The host's loop must ask palaver_want_write or
 * palaver_next_timeout (then 0) after its sends, before it waits again, as
 * the loop above does; a poller does that itself. 1 stored, 0 refused (a
 * threaded client). */
PALAVER_C_API int palaver_set_send_batching(palaver_client* client, int enable);

/* For a threaded client in a host's loop: a descriptor (Windows: an event
 * handle) that is readable (signalled) exactly while palaver_wait(client, 0)
 * would report something, and stays so until that is taken: level-triggered,
 * so no event is lost between a wake and a take. Made on the first call and
 * owned by the client until it is freed; the host never reads, closes or
 * resets it. PALAVER_NO_EVENT with PALAVER_E_NO_MEMORY when the system could
 * not make one. Costs nothing to clients that never ask for it. Works for
 * host-driven clients too, for what is already stored (their socket says
 * when more arrives). palaver_logout wakes the threads inside palaver_wait,
 * not the descriptor, which reports only what a wait would take: a loop
 * waiting on it learns of a logout from the thread that made it. */
PALAVER_C_API palaver_event palaver_event_of(palaver_client* client);

/* Many clients, one thread: a set of clients of either kind and a wait for
 * any of them. palaver_poller_wait does the work of the host-driven clients
 * whose sockets are ready or due (as palaver_process) and reports every
 * member with something to take, as palaver_wait(client, 0) would. Level-
 * triggered: a member stays reported while it has something.
 *
 * A client belongs to at most one poller; freeing it leaves the poller. The
 * poller's functions may be called from any thread, one wait at a time;
 * palaver_poller_free only when no wait runs (wake it and let it return).
 * The wait does the host-driven members' work on its own thread. */
typedef struct palaver_poller palaver_poller;
typedef struct palaver_ready {
    palaver_client* client; /* null for the poller's own wake-up */
    int events;             /* PALAVER_EVENT_* bits */
} palaver_ready;
PALAVER_C_API palaver_poller* palaver_poller_new(void);
/* Members leave the poller; the clients themselves stay. */
PALAVER_C_API void palaver_poller_free(palaver_poller* poller);
/* 1 added (or already a member), 0 refused (null, or a member of another poller). */
PALAVER_C_API int palaver_poller_add(palaver_poller* poller, palaver_client* client);
/* 1 removed, 0 when it was not a member. */
PALAVER_C_API int palaver_poller_remove(palaver_poller* poller, palaver_client* client);
/* Waits until a member has something, palaver_poller_wakeup is called or
 * `timeout_ms` pass (0 only looks, negative: no end). Fills `ready` with up
 * to `capacity` members and returns how many, 0 on the time-out, -1 when
 * refused. A wake-up is one entry with a null client and
 * PALAVER_EVENT_WAKEUP. */
PALAVER_C_API int palaver_poller_wait(palaver_poller* poller, palaver_ready* ready, size_t capacity,
                                      int timeout_ms);
/* Ends the poller's current wait, or the next when none runs. 1, or 0 for null. */
PALAVER_C_API int palaver_poller_wakeup(palaver_poller* poller);

/* ---- Reconnect ----
 *
 * Off by default. When on, a connection that breaks after a successful login
 * is logged in again with the same record and login string, with back-off
 * between tries: the first after `min_delay_ms`, each next one twice as late
 * up to `max_delay_ms`, each moved by up to `jitter_percent` either way, and
 * at most `max_tries` tries in a row (0: without end). The break is reported
 * once, PALAVER_EVENT_DISCONNECTED to the wait that takes it (not as a
 * level, which would make a waiting loop spin through the back-off); while
 * away, sends fail with PALAVER_E_NOT_CONNECTED (nothing is kept to be sent
 * later) and palaver_is_connected gives 0; once back,
 * PALAVER_EVENT_RECONNECTED, and the user set is the new login's
 * (PALAVER_EVENT_USERS). Lines received before the break stay, in order. A
 * refusal by the server (PALAVER_E_REFUSED: banned, wrong login string)
 * stops the tries, as does running out of them or turning reconnect off, and
 * from then on PALAVER_EVENT_DISCONNECTED is a level again, as without
 * reconnect; palaver_logout stops them at once. A host-driven client's
 * palaver_process starts each try on a thread of its own, which ends with
 * the try. */
PALAVER_C_API int palaver_set_reconnect(palaver_client* client, int enable);
/* Defaults: 250 ms, 10,000 ms, 20 %, 0. 1 stored, 0 refused (min below 0,
 * max below min, jitter outside 0-100, tries below 0). */
PALAVER_C_API int palaver_set_reconnect_delays(palaver_client* client, int min_delay_ms,
                                               int max_delay_ms, int jitter_percent, int max_tries);
/* 1 while the client is away and will try again, else 0 (connected, never
 * broken, or the tries stopped). `last_error`, when not null, receives the
 * code of the last failed try (PALAVER_OK when none failed since the break). */
PALAVER_C_API int palaver_reconnect_status(const palaver_client* client, int* last_error);

#ifdef __cplusplus
}
#endif

#endif
