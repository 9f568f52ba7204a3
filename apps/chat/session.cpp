#include "session.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "PalaverProfile.h"
#include "actions.h"
#include "notice_text.h"
#include "own_record.h"
#include "palaver_c.h"

namespace palaver::chat {
namespace {

namespace pf = palaver::profile;

// The room list arrives some time after the request, with no sign that it
// has; on loopback and on a LAN this is ample.
constexpr std::chrono::milliseconds kWhoDelay{300};
// The library rebuilds its user set one record at a time when a room list
// arrives; a user missing from one poll only has left when the next poll
// agrees.
constexpr int kPollsToLeave = 2;
constexpr std::size_t kMaxTalk = 300;
constexpr std::size_t kLoginCapacity = 20;

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string where(const pf::Position& p) {
    return "(" + number(p.x) + ", " + number(p.y) + ", " + number(p.z) + ")";
}

bool same_position(const pf::Position& a, const pf::Position& b) {
    return std::memcmp(&a.x, &b.x, sizeof a.x) == 0 && std::memcmp(&a.y, &b.y, sizeof a.y) == 0 &&
           std::memcmp(&a.z, &b.z, sizeof a.z) == 0 &&
           std::memcmp(&a.fourth, &b.fourth, sizeof a.fourth) == 0;
}

// palaver-server's refusal codes; another server may use its own.
std::string refusal(int code) {
    const char* why = "";
    switch (code) {
        case -2:
            why = ": malformed request or bad name";
            break;
        case -3:
            why = ": wrong login string";
            break;
        case -4:
            why = ": the server is full";
            break;
        case -5:
            why = ": banned";
            break;
        default:
            break;
    }
    return "the server refused the login (code " + std::to_string(code) + why + ")";
}

}  // namespace

Session::Session(SessionOptions options, Codepage& codepage)
    : options_(std::move(options)), codepage_(codepage) {}

Session::~Session() {
    if (connected_) {
        chatComunicate::Logout();
    }
}

std::string Session::label(int id) const {
    std::string name;
    if (id == self_.userId && self_.name[0] != '\0') {
        name = pf::name(self_);
    } else if (auto it = users_.find(id); it != users_.end()) {
        name = pf::name(it->second);
    }
    return codepage_.to_utf8(name) + "#" + std::to_string(id);
}

std::string Session::describe(const stUserInfo& u) const {
    std::string text = codepage_.to_utf8(pf::name(u)) + "#" + std::to_string(u.userId) + " at " +
                       where(pf::position(u)) + " model " + std::to_string(pf::model(u));
    const std::string pic = pf::picture(u);
    if (!pic.empty()) {
        text += " picture " + codepage_.to_utf8(pic);
    }
    return text;
}

std::string Session::unreachable() const {
    std::string why = "cannot reach " + options_.host + ":" + std::to_string(options_.port);
    // The library leaves the reason of a TLS failure to the calling thread.
    const int code = palaver_last_error();
    if (code <= PALAVER_E_TLS_UNAVAILABLE && code >= PALAVER_E_TLS_HANDSHAKE) {
        why += ": " + std::string(palaver_error_text(code));
        const std::string detail = palaver_last_error_detail();
        if (!detail.empty()) {
            why += " (" + detail + ")";
        }
    }
    return why;
}

bool Session::login(Events& out) {
    users_.clear();
    missing_.clear();
    const auto name = to_wire(options_.name, pf::kNameCapacity, "name", out);
    const auto login = to_wire(options_.login, kLoginCapacity, "login string", out);
    if (!name || !login) {
        return false;
    }
    if (chatComunicate::SetServerIPandPort(options_.host.c_str(), options_.port) != 1) {
        out.push_back({Event::Kind::kError, "cannot resolve " + options_.host});
        return false;
    }
    const char* caFile = options_.caFile.empty() ? nullptr : options_.caFile.c_str();
    if (!chatComunicate::UseTls(options_.tls, caFile)) {
        out.push_back({Event::Kind::kError,
                       "TLS cannot be used: no TLS library on this system, or an unreadable "
                       "CA file"});
        return false;
    }
    stUserInfo user{};
    pf::set_name(user, *name);
    pf::set_room(user, options_.room);
    const int result = chatComunicate::Login(user, login->c_str());
    if (result != 1) {
        std::string why = result == 0 ? unreachable() : refusal(result);
        out.push_back({Event::Kind::kError, "login failed: " + why});
        return false;
    }
    connected_ = true;
    self_ = copy_own_record();
    Events present;
    poll_users(present);
    out.push_back({Event::Kind::kStatus, "logged in as " + label(self_.userId) + " in room " +
                                             std::to_string(pf::room(self_)) + ", " +
                                             std::to_string(users_.size()) +
                                             " other user(s) here"});
    out.insert(out.end(), present.begin(), present.end());
    return true;
}

void Session::logout(Events& out) {
    if (!connected_) {
        return;
    }
    chatComunicate::Logout();
    connected_ = false;
    out.push_back({Event::Kind::kStatus, "logged out"});
}

void Session::poll(Events& out, Clock::time_point now) {
    // Users first, so the lines that follow can name who just arrived.
    poll_users(out);
    poll_self(out);
    poll_talk(out);
    poll_actions(out);
    if (who_due_ && now >= *who_due_) {
        who_due_.reset();
        poll_users(out);
        list_room(out);
    }
    if (connected_ && !chatComunicate::IsConnected()) {
        connected_ = false;
        chatComunicate::Logout();  // joins the library's threads
        out.push_back({Event::Kind::kStatus, "connection lost"});
    }
}

void Session::poll_talk(Events& out) {
    std::vector<stChatContent> lines;
    chatComunicate::GetTalk(lines);
    for (const stChatContent& line : lines) {
        if (line.sender == -2 && line.target == -2) {
            out.push_back({Event::Kind::kNotice, notice_to_utf8(line.text, codepage_)});
        } else if (line.flag) {
            out.push_back({Event::Kind::kWhisper, label(line.sender) + " -> " + label(line.target) +
                                                      ": " + codepage_.to_utf8(line.text)});
        } else {
            std::string to;
            if (line.target != kEveryone) {
                to = " -> " + label(line.target);
            }
            out.push_back({Event::Kind::kChat,
                           label(line.sender) + to + ": " + codepage_.to_utf8(line.text)});
        }
    }
}

void Session::poll_actions(Events& out) {
    std::vector<stActionContent> actions;
    chatComunicate::GetActionList(actions);
    for (const stActionContent& a : actions) {
        std::string text = label(a.sender) + " " + describe_action(a.action);
        if (a.target != kEveryone) {
            text += (a.target == self_.userId ? " at you (" : " at ") + label(a.target);
            text += a.target == self_.userId ? ")" : "";
        }
        out.push_back({Event::Kind::kAction, text});
    }
}

void Session::poll_users(Events& out) {
    std::set<stUserInfo> now;
    chatComunicate::GetUserList(now);
    for (const stUserInfo& u : now) {
        missing_.erase(u.userId);
        auto it = users_.find(u.userId);
        if (it == users_.end()) {
            users_.emplace(u.userId, u);
            out.push_back({Event::Kind::kUser, "+ " + describe(u)});
            continue;
        }
        const stUserInfo old = it->second;
        it->second = u;
        const std::string who = label(u.userId);
        if (pf::name(old) != pf::name(u)) {
            out.push_back({Event::Kind::kUser, "~ " + codepage_.to_utf8(pf::name(old)) + "#" +
                                                   std::to_string(u.userId) + " is now called " +
                                                   codepage_.to_utf8(pf::name(u))});
        }
        if (!same_position(pf::position(old), pf::position(u))) {
            out.push_back({Event::Kind::kUser, "~ " + who + " walks to " + where(pf::position(u)) +
                                                   " heading " + number(pf::position(u).fourth)});
        }
        if (pf::model(old) != pf::model(u)) {
            out.push_back(
                {Event::Kind::kUser, "~ " + who + " is now model " + std::to_string(pf::model(u))});
        }
        if (pf::picture(old) != pf::picture(u)) {
            out.push_back({Event::Kind::kUser,
                           "~ " + who + " shows picture " + codepage_.to_utf8(pf::picture(u))});
        }
        if (pf::room(old) != pf::room(u)) {
            out.push_back({Event::Kind::kUser,
                           "~ " + who + " is now in room " + std::to_string(pf::room(u))});
        }
    }
    for (auto it = users_.begin(); it != users_.end();) {
        if (now.count(it->second) || ++missing_[it->first] < kPollsToLeave) {
            ++it;
            continue;
        }
        out.push_back({Event::Kind::kUser, "- " + label(it->first) + " left"});
        missing_.erase(it->first);
        it = users_.erase(it);
    }
}

void Session::poll_self(Events& out) {
    if (!connected_) {
        return;
    }
    // The library updates only the own name; the rest of the profile is ours.
    const std::string name = pf::name(copy_own_record());
    if (name != pf::name(self_)) {
        pf::set_name(self_, name);
        options_.name = codepage_.to_utf8(name);  // a /reconnect keeps the new name
        out.push_back({Event::Kind::kStatus, "you are now " + label(self_.userId)});
    }
}

void Session::list_room(Events& out) {
    out.push_back({Event::Kind::kWho, std::to_string(users_.size() + 1) + " user(s) in room " +
                                          std::to_string(pf::room(self_))});
    out.push_back({Event::Kind::kWho, describe(self_) + " (you)"});
    for (const auto& [id, user] : users_) {
        out.push_back({Event::Kind::kWho, describe(user)});
    }
}

std::optional<std::string> Session::to_wire(const std::string& utf8, std::size_t limit,
                                            const char* what, Events& out) {
    auto wire = codepage_.from_utf8(utf8);
    if (!wire) {
        out.push_back({Event::Kind::kError,
                       std::string("the ") + what + " cannot be written in " + codepage_.name()});
        return std::nullopt;
    }
    if (wire->size() > limit || wire->find('\0') != std::string::npos) {
        out.push_back({Event::Kind::kError, std::string("the ") + what + " is " +
                                                std::to_string(wire->size()) + " bytes in " +
                                                codepage_.name() + "; at most " +
                                                std::to_string(limit) + " fit"});
        return std::nullopt;
    }
    return wire;
}

bool Session::send_result(bool sent, const char* what, Events& out) {
    if (!sent) {
        out.push_back(
            {Event::Kind::kError, std::string(what) + " not sent: " +
                                      (connected_ ? "the connection failed" : "not connected")});
    }
    return sent;
}

void Session::execute(const Command& c, Events& out, Clock::time_point now) {
    using Kind = Command::Kind;
    switch (c.kind) {
        case Kind::kNone:
        case Kind::kQuit:
        case Kind::kSleep:
            return;  // the front end's business
        case Kind::kInvalid:
            out.push_back({Event::Kind::kError, c.text});
            return;
        case Kind::kHelp: {
            std::string help = command_help();
            std::size_t start = 0;
            while (start < help.size()) {
                std::size_t end = help.find('\n', start);
                if (end == std::string::npos) {
                    end = help.size();
                }
                out.push_back({Event::Kind::kInfo, help.substr(start, end - start)});
                start = end + 1;
            }
            out.push_back({Event::Kind::kInfo, "actions: " + action_names() + ", or 0..255"});
            return;
        }
        case Kind::kSay:
        case Kind::kWhisper: {
            const bool whisper = c.kind == Kind::kWhisper;
            if (auto text = to_wire(c.text, kMaxTalk, "line", out)) {
                send_result(chatComunicate::SendTalk(whisper ? c.target : kEveryone, text->c_str(),
                                                     whisper),
                            whisper ? "whisper" : "line", out);
            }
            return;
        }
        case Kind::kAct:
            send_result(chatComunicate::DoAnction(c.target, c.action), "action", out);
            return;
        case Kind::kWalk:
            if (send_result(chatComunicate::Walk2Pos(c.x, c.y, c.z, c.fourth), "walk", out)) {
                pf::set_position(self_, {c.x, c.y, c.z, c.fourth});
                out.push_back({Event::Kind::kInfo, "you walk to " + where(pf::position(self_))});
            }
            return;
        case Kind::kName:
            if (auto name = to_wire(c.text, pf::kNameCapacity, "name", out)) {
                send_result(chatComunicate::ChangeName(name->data()), "rename", out);
            }
            return;
        case Kind::kModel:
            if (send_result(chatComunicate::ChangeModel(c.number), "model change", out)) {
                pf::set_model(self_, c.number);
                out.push_back(
                    {Event::Kind::kInfo, "you are now model " + std::to_string(c.number)});
            }
            return;
        case Kind::kPicture:
            if (auto pic = to_wire(c.text, pf::kPictureCapacity, "picture", out)) {
                if (send_result(chatComunicate::ChangePic(pic->data()), "picture change", out)) {
                    pf::set_picture(self_, *pic);
                    out.push_back({Event::Kind::kInfo, "you show picture " + c.text});
                }
            }
            return;
        case Kind::kKick:
            if (send_result(chatComunicate::KickPerson(c.target, c.number), "kick", out)) {
                out.push_back({Event::Kind::kInfo, "asked the server to kick " + label(c.target)});
            }
            return;
        case Kind::kWho:
            if (send_result(chatComunicate::GetAllUserInRoom(), "room list request", out)) {
                who_due_ = now + kWhoDelay;
            }
            return;
        case Kind::kReconnect:
            if (connected_) {
                out.push_back({Event::Kind::kInfo, "already connected"});
                return;
            }
            login(out);
            return;
    }
}

}  // namespace palaver::chat
