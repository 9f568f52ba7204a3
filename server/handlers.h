// What the server does with each message a client sends: the login request
// first, then every other request. Each handler may end the session.
#ifndef PALAVER_SERVER_HANDLERS_H
#define PALAVER_SERVER_HANDLERS_H

#include <cstddef>
#include <cstdint>

#include "protocol/message.h"

namespace palaver::server {

class ServerState;
class Session;

// Refusal codes of the login reply. Never -1: the library reports a reply
// that breaks off as -1, so a refusal must not look like one.
enum class Refusal : int {
    Malformed = -2,  // not a login request, wrong length, or a bad name
    WrongLogin = -3,
    Full = -4,
    Banned = -5,
};

void handle_login(ServerState& state, Session& session, const Frame& frame);
void handle_request(ServerState& state, Session& session, const Frame& frame);

// What a request costs the server, in the credits of the session's request
// budget (server/request_budget.h): 1 for what touches only the sender; for
// what the room hears, one more for every 50 users it reaches (two for a
// rename, which is also logged); for a Room list, two and one for every six
// records it carries.
double request_cost(std::uint8_t type, std::size_t roomSize);
double request_cost(const ServerState& state, const Session& session, const Frame& frame);

}  // namespace palaver::server

#endif
