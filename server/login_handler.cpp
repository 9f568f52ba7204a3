#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "PalaverProfile.h"
#include "protocol/client_messages.h"
#include "protocol/records.h"
#include "server/cluster_link.h"
#include "server/handlers.h"
#include "server/login_checks.h"
#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {
namespace {

void refuse(ServerState& state, Session& session, Refusal code, const std::string& why) {
    state.log().info("refused ", session.peer(), " with ", static_cast<int>(code), ": ", why);
    std::uint8_t status[4];
    wire::store_i32(status, static_cast<int>(code));
    session.deliver_login_reply(state.pool().copy(status, sizeof status));
    session.finish(CloseCause::LoginRefused, "login refused");
    state.metrics().login_refused(code);
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

// Lets the user in, unless banned or the server is full. In a cluster, a
// login into a room this node has no users in waits (held) until the other
// nodes have told it their users there, so that its reply holds them all;
// bans and room are looked at again after the wait.
void admit(ServerState& state, Session& session, const stUserInfo& user, const std::string& name,
           bool admin, bool waited = false) {
    if (state.bans().banned(name, Bans::Clock::now())) {
        refuse(state, session, Refusal::Banned, "\"" + escaped(name) + "\" is banned");
        return;
    }
    if (state.users() >= state.settings().maxClients) {
        refuse(state, session, Refusal::Full, "server full");
        return;
    }
    ClusterLink* link = state.link();
    if (!waited && link != nullptr) {
        auto ready = [&state, session = session.shared_from_this(), user, name, admin] {
            if (session->open()) {
                admit(state, *session, user, name, admin, true);
                session->resume();
            }
        };
        if (!link->room_ready(profile::room(user), std::move(ready))) {
            session.hold();
            return;
        }
    }
    session.user() = user;
    session.loginName = name;
    session.admin = admin;
    session.mark_logged_in();
    state.join(session);
    state.metrics().logged_in();
    state.log().info("login ", session.describe(), " room ",
                     room_text(profile::room(session.user())), admin ? " admin" : "");
}

// What a login request asks for, kept while its login string is checked.
struct Attempt {
    stUserInfo user;
    std::string name;
    std::string login;
    std::optional<AddressKey> address;
    std::shared_ptr<const Accounts> accounts;  // the ones it is checked against
};

void conclude(ServerState& state, Session& session, const Attempt& attempt, bool matched) {
    auto& backoff = state.backoff();
    bool useBackoff = state.settings().loginBackoff;
    const Account* account = nullptr;
    if (matched) {
        // Accounts reloaded meanwhile: the account must still be there.
        const auto& now = state.settings().accounts;
        account = now ? now->find(attempt.name) : nullptr;
    }
    if (account == nullptr) {
        if (useBackoff) {
            backoff.failed(attempt.address, attempt.name, Clock::now());
        }
        refuse(state, session, Refusal::WrongLogin,
               "wrong login string for \"" + escaped(attempt.name) + "\"");
        return;
    }
    if (useBackoff) {
        backoff.succeeded(attempt.address, attempt.name);
    }
    admit(state, session, attempt.user, attempt.name, account->admin);
}

// Checks the login string against the accounts: a plain entry at once, a
// hashed one (or an unknown name, when the file holds hashes) on the check
// threads, while the session waits. After failed logins the check waits
// its turn (server/login_backoff.h).
void check(ServerState& state, Session& session, Attempt attempt) {
    const Account* account = attempt.accounts->find(attempt.name);
    bool slow = account != nullptr ? account->secret.hashed()
                                   : attempt.accounts->plain_count() < attempt.accounts->size();
    Clock::time_point now = Clock::now();
    Clock::time_point when = now;
    if (state.settings().loginBackoff) {
        auto slot = state.backoff().reserve(attempt.address, attempt.name, now);
        if (!slot) {
            refuse(state, session, Refusal::WrongLogin,
                   "too many failed logins for \"" + escaped(attempt.name) +
                       "\" or from its address: not checked");
            return;
        }
        when = *slot;
    }
    if (!slow && when <= now) {
        conclude(state, session, attempt,
                 account != nullptr && account->secret.matches(attempt.login));
        return;
    }
    // The check holds its own copy of the secret: the accounts may be
    // reloaded before it runs.
    std::optional<LoginSecret> secret;
    if (account != nullptr) {
        secret = account->secret;
    }
    auto work = [secret = std::move(secret), login = attempt.login] {
        if (!secret) {
            LoginSecret::spend_as_unknown(login);  // as long as a hashed account's check
            return false;
        }
        return secret->matches(login);
    };
    auto done = [&state, session = session.shared_from_this(),
                 attempt = std::move(attempt)](bool matched) {
        if (session->open()) {
            conclude(state, *session, attempt, matched);
            session->resume();
        }
    };
    session.hold();
    if (LoginChecks* checks = state.checks()) {
        if (!checks->submit(when, std::move(work), std::move(done))) {
            refuse(
                state, session, Refusal::Full,
                "server busy: " + std::to_string(checks->waiting()) + " logins wait for a check");
            session.resume();  // finishing: reads nothing more
        }
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(session.executor(), when);
    timer->async_wait(
        [timer, work = std::move(work), done = std::move(done)](const asio::error_code& ec) {
            if (!ec)
                done(work());
        });
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
    stUserInfo user = tidy(request->user, name);
    if (!state.settings().accounts) {
        admit(state, session, user, name, false);
        return;
    }
    check(state, session,
          Attempt{user, name, std::string(request->login, request->loginLength),
                  state.address_of(session), state.settings().accounts});
}

}  // namespace palaver::server
