#include "server/reload.h"

#include <memory>
#include <stdexcept>

#include "server/accounts.h"
#include "server/ban_file.h"
#include "server/banning.h"
#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {
namespace {

// One line of the report, logged as it is added.
void tell(ServerState& state, ReloadReport& report, bool ok, const std::string& line) {
    report.ok = report.ok && ok;
    report.lines.push_back(line);
    state.log().write(ok ? Level::Info : Level::Warn, "reload: ", line);
}

void reload_accounts(ServerState& state, ReloadReport& report) {
    const std::string& path = state.settings().accountsFile;
    std::string error;
    auto accounts = Accounts::load(path, error);
    if (!accounts) {
        tell(state, report, false, "accounts: kept the accounts in force: " + error);
        return;
    }
    auto fresh = std::make_shared<const Accounts>(std::move(*accounts));
    for (const std::string& warning : fresh->warnings()) {
        state.log().warn("reload: ", warning);
    }
    state.set_accounts(fresh);
    std::vector<Session*> removed;
    std::size_t roles = 0;
    state.for_each_user([&](Session& session) {
        const Account* account = fresh->find(session.loginName);
        if (account == nullptr) {
            removed.push_back(&session);
        } else if (account->admin != session.admin) {
            session.admin = account->admin;
            ++roles;
            state.log().info("reload: ", session.describe(),
                             account->admin ? " is now an admin" : " is no longer an admin");
        }
    });
    for (Session* session : removed) {
        session->close(CloseCause::AccountRemoved, "its account was removed");
    }
    tell(state, report, true,
         "accounts: " + std::to_string(fresh->size()) + " from " + path + "; closed " +
             std::to_string(removed.size()) + " sessions of removed accounts; " +
             std::to_string(roles) + " admin roles changed");
}

void reload_bans(ServerState& state, ReloadReport& report) {
    const std::string& path = state.settings().bansFile;
    std::string error;
    auto bans = load_bans(path, error);
    if (!bans) {
        tell(state, report, false, "bans: kept the bans in force: " + error);
        return;
    }
    state.bans().replace(*bans);
    std::vector<Session*> banned;
    auto now = Bans::Clock::now();
    state.for_each_user([&](Session& session) {
        // A line whose end has passed bans nobody.
        if (state.bans().banned(session.loginName, now)) {
            banned.push_back(&session);
        }
    });
    for (Session* session : banned) {
        session->close(CloseCause::Kicked, "banned (the bans file was read again)");
    }
    std::size_t closed = banned.size();
    tell(state, report, true,
         "bans: " + std::to_string(bans->size()) + " from " + path + "; closed " +
             std::to_string(closed) + " sessions of banned names");
}

}  // namespace

ReloadReport reload_files(ServerState& state) {
    ReloadReport report;
    if (!state.settings().accountsFile.empty()) {
        reload_accounts(state, report);
    }
    if (!state.settings().bansFile.empty()) {
        reload_bans(state, report);
    }
    if (report.lines.empty()) {
        tell(state, report, true, "nothing to read again: no --accounts and no --bans");
    }
    return report;
}

void load_bans_at_start(ServerState& state) {
    const std::string& path = state.settings().bansFile;
    if (path.empty()) {
        return;
    }
    std::string error;
    auto bans = load_bans(path, error);
    if (!bans) {
        throw std::runtime_error("--bans: " + error);
    }
    state.bans().replace(*bans);
}

}  // namespace palaver::server
