#include <cstdio>
#include <string>

#include "PalaverProfile.h"
#include "protocol/client_messages.h"
#include "protocol/records.h"
#include "server/handlers.h"
#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {
namespace {

void refuse(ServerState& state, Session& session, Refusal code, const std::string& why) {
    state.log().info("refused ", session.peer(), " with ", static_cast<int>(code), ": ", why);
    std::uint8_t status[4];
    wire::store_i32(status, static_cast<int>(code));
    session.deliver(state.pool().copy(status, sizeof status));
    session.finish("login refused");
}

std::string room_text(std::uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(key));
    return text;
}

// The host's record with the profile fields made well-formed: the name
// alone in its field, a picture that ends within its field, byte 78 zero.
stUserInfo tidy(const stUserInfo& from, const std::string& name) {
    stUserInfo user = from;
    profile::set_name(user, name);
    std::string picture = profile::picture(user);
    profile::set_picture(user, picture.substr(0, profile::kPictureCapacity));
    bytes_of(user)[profile::kReservedOffset] = 0;
    return user;
}

}  // namespace

void handle_login(ServerState& state, Session& session, const Frame& frame) {
    if (frame.type != static_cast<std::uint8_t>(ClientType::Login)) {
        refuse(state, session, Refusal::Malformed,
               "first message is of type " + std::to_string(frame.type) + ", not a login request");
        return;
    }
    auto request = decode_login_request(frame);
    if (!request) {
        refuse(state, session, Refusal::Malformed,
               "login request of length " + std::to_string(frame.size + 1));
        return;
    }
    std::size_t nameLength = name_length(request->user);
    if (nameLength == 0 || nameLength > profile::kNameCapacity) {
        refuse(state, session, Refusal::Malformed,
               nameLength == 0 ? "empty name" : "name longer than 30 bytes");
        return;
    }
    std::string name(request->user.name, nameLength);
    std::string login(request->login, request->loginLength);

    bool admin = false;
    if (const auto& accounts = state.settings().accounts) {
        const Account* account = accounts->find(name);
        if (account == nullptr && accounts->plain_count() < accounts->size()) {
            LoginSecret::spend_as_unknown(login);  // as long as a hashed account's check
        }
        if (account == nullptr || !account->secret.matches(login)) {
            refuse(state, session, Refusal::WrongLogin,
                   "wrong login string for \"" + escaped(name) + "\"");
            return;
        }
        admin = account->admin;
    }
    if (state.bans().banned(name, Bans::Clock::now())) {
        refuse(state, session, Refusal::Banned, "\"" + escaped(name) + "\" is banned");
        return;
    }
    if (state.users() >= state.settings().maxClients) {
        refuse(state, session, Refusal::Full, "server full");
        return;
    }

    session.user() = tidy(request->user, name);
    session.loginName = name;
    session.admin = admin;
    session.mark_logged_in();
    state.join(session);
    state.log().info("login ", session.describe(), " room ",
                     room_text(profile::room(session.user())), admin ? " admin" : "");
}

}  // namespace palaver::server
