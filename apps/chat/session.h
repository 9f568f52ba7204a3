// One chat user's session over the library: logs in, carries out the user's
// commands and turns what the library collected into events. Runs on one
// thread; the library's own threads fill what poll() collects.
#ifndef PALAVER_CHAT_SESSION_H
#define PALAVER_CHAT_SESSION_H

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "Palaver.h"
#include "codepage.h"
#include "command.h"
#include "event.h"

namespace palaver::chat {

struct SessionOptions {
    std::string host = "127.0.0.1";
    int port = 7400;
    std::string name;   // UTF-8
    std::string login;  // UTF-8
    std::uint32_t room = 0;
    bool tls = false;    // TLS, the server's certificate verified
    std::string caFile;  // the authorities to trust; empty: the system's
};

class Session {
  public:
    using Clock = std::chrono::steady_clock;

    Session(SessionOptions options, Codepage& codepage);
    ~Session();  // logs out
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Blocks for as long as Login does (at most about 10 s).
    bool login(Events& out);
    void logout(Events& out);

    // Takes in what arrived since the last call.
    void poll(Events& out, Clock::time_point now);
    void execute(const Command& command, Events& out, Clock::time_point now);

    bool connected() const { return connected_; }
    // The other users, by id, as of the last poll.
    const std::map<int, stUserInfo>& users() const { return users_; }
    // The own record: the library's, with the profile this host last sent.
    const stUserInfo& self() const { return self_; }
    const SessionOptions& options() const { return options_; }

    // "name#id" in UTF-8, or "#id" for an id nobody in the room has.
    std::string label(int id) const;
    std::string describe(const stUserInfo& user) const;

  private:
    // Why a Login that returned 0 failed, for the user.
    std::string unreachable() const;
    bool send_result(bool sent, const char* what, Events& out);
    std::optional<std::string> to_wire(const std::string& utf8, std::size_t limit, const char* what,
                                       Events& out);
    void poll_talk(Events& out);
    void poll_actions(Events& out);
    void poll_users(Events& out);
    void poll_self(Events& out);
    void list_room(Events& out);

    SessionOptions options_;
    Codepage& codepage_;
    bool connected_ = false;
    std::map<int, stUserInfo> users_;
    std::map<int, int> missing_;  // id -> polls in a row the user was not in the set
    stUserInfo self_{};
    std::optional<Clock::time_point> who_due_;
};

}  // namespace palaver::chat

#endif
