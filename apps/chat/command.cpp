#include "command.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "actions.h"

namespace palaver::chat {
namespace {

using Kind = Command::Kind;

std::vector<std::string> split_words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) {
        words.push_back(w);
    }
    return words;
}

bool parse_int(const std::string& s, int& out) {
    const char* end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(s.data(), end, out);
    return !s.empty() && ec == std::errc() && ptr == end;
}

bool parse_real(const std::string& s, double& out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(out);
}

// The text after the first `skip` words, leading blanks removed.
std::string rest_after(const std::string& s, int skip) {
    std::size_t pos = 0;
    for (int i = 0; i < skip; ++i) {
        pos = s.find_first_not_of(" \t", pos);
        pos = s.find_first_of(" \t", pos);
        if (pos == std::string::npos) {
            return {};
        }
    }
    pos = s.find_first_not_of(" \t", pos);
    return pos == std::string::npos ? std::string() : s.substr(pos);
}

Command invalid(std::string why) {
    Command c;
    c.kind = Kind::kInvalid;
    c.text = std::move(why);
    return c;
}

Command make(Kind kind) {
    Command c;
    c.kind = kind;
    return c;
}

}  // namespace

Command parse_command(const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    if (line.find_first_not_of(" \t") == std::string::npos) {
        return make(Kind::kNone);
    }
    if (line[0] != '/' || line.compare(0, 2, "//") == 0) {
        Command c = make(Kind::kSay);
        c.text = line[0] == '/' ? line.substr(1) : line;  // "//x" says "/x"
        return c;
    }

    const std::vector<std::string> w = split_words(line);
    const std::string& verb = w[0];
    const std::size_t args = w.size() - 1;

    if (verb == "/me") {
        if (args < 1 || args > 2) {
            return invalid("usage: /me ACTION [ID]   actions: " + action_names() + " or 0..255");
        }
        Command c = make(Kind::kAct);
        const auto action = parse_action(w[1]);
        if (!action) {
            return invalid("unknown action '" + w[1] + "'; try " + action_names() +
                           " or a number 0..255");
        }
        c.action = *action;
        c.target = kEveryone;
        if (args == 2 && !parse_int(w[2], c.target)) {
            return invalid("usage: /me ACTION [ID]");
        }
        return c;
    }
    if (verb == "/w") {
        Command c = make(Kind::kWhisper);
        if (args < 2 || !parse_int(w[1], c.target)) {
            return invalid("usage: /w ID TEXT");
        }
        c.text = rest_after(line, 2);
        return c;
    }
    if (verb == "/walk") {
        Command c = make(Kind::kWalk);
        double fourth = 0;
        if (args < 3 || args > 4 || !parse_real(w[1], c.x) || !parse_real(w[2], c.y) ||
            !parse_real(w[3], c.z) || (args == 4 && !parse_real(w[4], fourth))) {
            return invalid("usage: /walk X Y Z [W]");
        }
        c.fourth = static_cast<float>(fourth);
        return c;
    }
    if (verb == "/name") {
        Command c = make(Kind::kName);
        c.text = rest_after(line, 1);
        if (c.text.empty()) {
            return invalid("usage: /name NEW");
        }
        return c;
    }
    if (verb == "/model") {
        Command c = make(Kind::kModel);
        if (args != 1 || !parse_int(w[1], c.number)) {
            return invalid("usage: /model N");
        }
        return c;
    }
    if (verb == "/pic") {
        Command c = make(Kind::kPicture);
        if (args != 1) {
            return invalid("usage: /pic NAME");
        }
        c.text = w[1];
        return c;
    }
    if (verb == "/kick") {
        Command c = make(Kind::kKick);
        if (args < 1 || args > 2 || !parse_int(w[1], c.target) ||
            (args == 2 && (!parse_int(w[2], c.number) || c.number < 0))) {
            return invalid("usage: /kick ID [MINUTES]");
        }
        return c;
    }
    if (verb == "/sleep") {
        Command c = make(Kind::kSleep);
        if (args != 1 || !parse_int(w[1], c.number) || c.number < 0 || c.number > 60000) {
            return invalid("usage: /sleep MILLISECONDS (at most 60000)");
        }
        return c;
    }
    if (args == 0) {
        if (verb == "/who") {
            return make(Kind::kWho);
        }
        if (verb == "/quit") {
            return make(Kind::kQuit);
        }
        if (verb == "/help") {
            return make(Kind::kHelp);
        }
        if (verb == "/reconnect") {
            return make(Kind::kReconnect);
        }
    }
    return invalid("unknown command " + verb + "; /help lists them");
}

const char* command_help() {
    return "TEXT                say TEXT to the room (//TEXT says /TEXT)\n"
           "/me ACTION [ID]     act, towards user ID if given\n"
           "/w ID TEXT          whisper to user ID\n"
           "/walk X Y Z [W]     move to X Y Z, W is the heading\n"
           "/name NEW           rename yourself\n"
           "/model N            change your model\n"
           "/pic NAME           change your picture\n"
           "/kick ID [MINUTES]  admins: kick user ID, banned for MINUTES\n"
           "/who                ask the server for the room list\n"
           "/reconnect          log in again after the connection was lost\n"
           "/sleep MS           line mode: wait MS milliseconds before the next line\n"
           "/quit               log out and leave";
}

}  // namespace palaver::chat
