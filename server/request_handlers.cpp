#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "PalaverProfile.h"
#include "protocol/client_messages.h"
#include "protocol/records.h"
#include "protocol/server_messages.h"
#include "server/banning.h"
#include "server/handlers.h"
#include "server/room.h"
#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {
namespace {

void malformed(Session& session, const Frame& frame) {
    session.close(CloseCause::HostileInput,
                  "hostile input: a type " + std::to_string(frame.type) + " message of length " +
                      std::to_string(frame.size + 1),
                  Level::Warn);
}

// A request the server does not carry out. A client may get one wrong now
// and then; a stream of them is an attack, or a client gone wrong: the
// first is logged, the rest are counted (the disconnect line says how
// many), and past the limit the session ends.
void refused(ServerState& state, Session& session, const std::string& what) {
    std::size_t count = ++session.refusedRequests;
    if (count == 1) {
        state.log().warn("refused ", what, " from ", session.describe(),
                         "; more are counted, not logged");
    }
    if (count > state.settings().maxRefusedRequests) {
        session.close(CloseCause::HostileInput,
                      "hostile input: more than " +
                          std::to_string(state.settings().maxRefusedRequests) +
                          " refused requests, the last " + what,
                      Level::Warn);
    }
}

// Requests that act in the sender's room carry its id and location key;
// anything else is somebody speaking for somebody else.
bool is_own(ServerState& state, Session& session, const Frame& frame, std::int32_t self,
            const LocationKey& key) {
    const stUserInfo& user = session.user();
    if (self == user.userId && std::memcmp(key.data(), user.locationKey, key.size()) == 0) {
        return true;
    }
    refused(state, session,
            "a type " + std::to_string(frame.type) + " message that claims id " +
                std::to_string(self) + " or another room");
    return false;
}

void send_updated(ServerState& state, Session& session) {
    BufferRef m = state.pool().make(record_list_size(1));
    m.shrink(encode_users_updated(m.writable(), &session.user(), 1));
    session.room->broadcast(m);
    if (ClusterLink* link = state.link()) {
        link->updated(session.user());
    }
}

// A whisper to a user of this room on another node: it goes over the bus,
// and the sender gets its copy here.
bool whisper_far(ServerState& state, Session& session, const TalkView& line, const BufferRef& m) {
    ClusterLink* link = state.link();
    const stUserInfo* target = link != nullptr ? link->remote_user(line.target) : nullptr;
    if (target == nullptr || profile::room(*target) != profile::room(session.user())) {
        return false;
    }
    link->talked(line.sender, line.target, profile::room(session.user()), true, line.text,
                 line.textLength);
    session.deliver(m);
    return true;
}

void talk(ServerState& state, Session& session, const Frame& frame) {
    auto line = decode_talk(frame);
    if (!line || !line->terminated || line->textLength > kMaxTalkText) {
        malformed(session, frame);
        return;
    }
    if (!is_own(state, session, frame, line->sender, line->key)) {
        return;
    }
    bool whisper = line->flag == 1;
    BufferRef m = state.pool().make(kTalkFixedSize + line->textLength);
    encode_talk(m.writable(), line->sender, line->target, line->key, whisper, line->text,
                line->textLength);
    if (state.settings().logChat) {
        state.log().info(whisper ? "whisper " : "talk ", session.describe(), " to ", line->target,
                         ": ", untrusted({line->text, line->textLength}));
    }
    if (!whisper) {
        session.room->broadcast(m);
        if (ClusterLink* link = state.link()) {
            link->talked(line->sender, line->target, profile::room(session.user()), false,
                         line->text, line->textLength);
        }
        return;
    }
    Session* target = state.find(line->target);
    if (target == nullptr && whisper_far(state, session, *line, m)) {
        return;
    }
    if (target == nullptr || target->room != session.room) {
        state.log().debug("dropped a whisper of ", session.describe(), " to absent id ",
                          line->target);
        return;
    }
    if (target != &session) {
        target->deliver(m);
    }
    session.deliver(m);
}

void walk(ServerState& state, Session& session, const Frame& frame) {
    auto w = decode_walk(frame);
    if (!w) {
        malformed(session, frame);
        return;
    }
    if (!is_own(state, session, frame, w->from.self, w->from.key)) {
        return;
    }
    if (!std::isfinite(w->x) || !std::isfinite(w->y) || !std::isfinite(w->z) ||
        !std::isfinite(w->fourth)) {
        refused(state, session, "a walk to a position that is not finite");
        return;
    }
    profile::set_position(session.user(), {w->x, w->y, w->z, w->fourth});
    send_updated(state, session);
}

// With an accounts file a name belongs to its account: nobody else may
// show it, least of all an admin's.
bool takes_account_name(const ServerState& state, const Session& session, const std::string& name) {
    const auto& accounts = state.settings().accounts;
    return accounts && name != session.loginName && accounts->find(name) != nullptr;
}

// Rename and Picture change: a text field of at most `capacity` bytes.
void change_text(ServerState& state, Session& session, const Frame& frame, bool isName) {
    auto t = isName ? decode_rename(frame) : decode_picture_change(frame);
    if (!t) {
        malformed(session, frame);
        return;
    }
    if (!is_own(state, session, frame, t->from.self, t->from.key)) {
        return;
    }
    std::string text(t->text, t->length);
    if (isName && takes_account_name(state, session, text)) {
        refused(state, session, "a rename to \"" + escaped(text) + "\", another account's name");
        return;
    }
    stUserInfo& user = session.user();
    if (!t->terminated || (isName && text.empty()) ||
        !(isName ? profile::set_name(user, text) : profile::set_picture(user, text))) {
        refused(state, session,
                std::string(isName ? "a rename" : "a picture change") + " whose text does not fit");
        return;
    }
    if (isName) {
        state.log().info("rename ", session.describe(), " to \"", untrusted(text), "\"");
    }
    send_updated(state, session);
}

void change_model(ServerState& state, Session& session, const Frame& frame) {
    auto m = decode_model_change(frame);
    if (!m) {
        malformed(session, frame);
        return;
    }
    if (!is_own(state, session, frame, m->from.self, m->from.key)) {
        return;
    }
    profile::set_model(session.user(), m->model);
    send_updated(state, session);
}

void kick(ServerState& state, Session& session, const Frame& frame) {
    auto k = decode_kick(frame);
    if (!k) {
        malformed(session, frame);
        return;
    }
    if (!session.admin) {
        refused(state, session, "a kick of id " + std::to_string(k->first) + " (not an admin)");
        return;
    }
    Session* target = state.find(k->first);
    ClusterLink* link = state.link();
    if (target == nullptr && link != nullptr &&
        link->kick(k->first, k->second, session.loginName, session.describe())) {
        state.log().info("kick of id ", k->first, " on another node by ", session.describe(),
                         " passed on");
        return;
    }
    if (target == nullptr) {
        state.log().info("ignored a kick of unknown id ", k->first, " by ", session.describe());
        return;
    }
    state.log().info("kick ", target->describe(), " by ", session.describe(), ", banned for ",
                     k->second > 0 ? k->second : 0, " min");
    std::string name = target->loginName;
    target->close(CloseCause::Kicked, "kicked by " + session.describe());
    // A ban closes the name's other sessions too, on every node.
    ban_name(state, name, k->second, session.describe());
}

// The users of the sender's room on other nodes; null when none.
const std::map<std::int32_t, stUserInfo>* remote_members(const ServerState& state,
                                                         const Session& session) {
    ClusterLink* link = state.link();
    return link != nullptr ? link->remote_room(profile::room(session.user())) : nullptr;
}

// The users of the sender's room, on this node and the others.
std::size_t room_size(const ServerState& state, const Session& session) {
    if (session.room == nullptr) {
        return 1;
    }
    const auto* far = remote_members(state, session);
    return session.room->members().size() + (far != nullptr ? far->size() : 0);
}

// A Room list replaces the client's whole user set and carries at most six
// records. A larger room cannot fit in one, and a cut-down list would make
// the client forget real users, so the client gets the records it should
// already know as Users updated instead, six to a message.
void room_list(ServerState& state, Session& session, const Frame& frame) {
    auto key = decode_key_only(frame);
    if (!key) {
        malformed(session, frame);
        return;
    }
    if (!is_own(state, session, frame, session.id(), *key)) {
        return;
    }
    std::array<stUserInfo, kMaxRecordsPerMessage> batch;
    const auto& members = session.room->members();
    // Users of the room on other nodes count as much as this node's own.
    const auto* far = remote_members(state, session);
    std::size_t others = room_size(state, session) - 1;
    bool fits = others <= kMaxRecordsPerMessage;
    std::size_t n = 0;
    auto send = [&] {
        BufferRef m = state.pool().make(record_list_size(n));
        m.shrink(fits ? encode_room_list(m.writable(), batch.data(), n)
                      : encode_users_updated(m.writable(), batch.data(), n));
        session.deliver(m);
        n = 0;
    };
    for (const Session* member : members) {
        if (member == &session) {
            continue;
        }
        batch[n++] = member->user();
        if (n == batch.size() && !fits) {
            send();
        }
    }
    if (far != nullptr) {
        for (const auto& [id, record] : *far) {
            batch[n++] = record;
            if (n == batch.size() && !fits) {
                send();
            }
        }
    }
    if (fits || n > 0) {
        send();
    }
}

}  // namespace

double request_cost(std::uint8_t type, std::size_t roomSize) {
    auto members = static_cast<double>(roomSize);
    switch (static_cast<ClientType>(type)) {
        case ClientType::Talk:
        case ClientType::Walk:
        case ClientType::ModelChange:
        case ClientType::PictureChange:
            return 1 + members / 50;
        case ClientType::Rename:
            return 2 + members / 50;
        case ClientType::RoomListRequest:
            return 2 + members / kMaxRecordsPerMessage;
        default:
            return 1;
    }
}

double request_cost(const ServerState& state, const Session& session, const Frame& frame) {
    return request_cost(frame.type, room_size(state, session));
}

void handle_request(ServerState& state, Session& session, const Frame& frame) {
    switch (static_cast<ClientType>(frame.type)) {
        case ClientType::Talk:
            talk(state, session, frame);
            return;
        case ClientType::Walk:
            walk(state, session, frame);
            return;
        case ClientType::Rename:
            change_text(state, session, frame, true);
            return;
        case ClientType::PictureChange:
            change_text(state, session, frame, false);
            return;
        case ClientType::ModelChange:
            change_model(state, session, frame);
            return;
        case ClientType::Kick:
            kick(state, session, frame);
            return;
        case ClientType::RoomListRequest:
            room_list(state, session, frame);
            return;
        case ClientType::KeepAlive:
            if (!decode_key_only(frame)) {
                malformed(session, frame);
            }
            return;  // reading it already moved the idle deadline
        case ClientType::Logout:
            if (!decode_key_only(frame)) {
                malformed(session, frame);
                return;
            }
            session.close(CloseCause::Logout, "logout");
            return;
        case ClientType::Login:
            session.close(CloseCause::HostileInput, "hostile input: a second login request",
                          Level::Warn);
            return;
    }
    session.close(CloseCause::HostileInput,
                  "hostile input: unknown message type " + std::to_string(frame.type), Level::Warn);
}

}  // namespace palaver::server
