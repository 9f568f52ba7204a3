// What the server does with each message a client sends: the login request
// first, then every other request. Each handler may end the session.
#ifndef PALAVER_SERVER_HANDLERS_H
#define PALAVER_SERVER_HANDLERS_H

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

}  // namespace palaver::server

#endif
