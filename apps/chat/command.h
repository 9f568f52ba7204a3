// What the user typed, parsed: a chat line or one slash command. Texts stay
// in UTF-8 here; the session converts them to the wire's code page.
#ifndef PALAVER_CHAT_COMMAND_H
#define PALAVER_CHAT_COMMAND_H

#include <string>

namespace palaver::chat {

struct Command {
    enum class Kind {
        kNone,     // an empty line
        kInvalid,  // `text` says what is wrong
        kSay,
        kAct,
        kWhisper,
        kWalk,
        kName,
        kModel,
        kPicture,
        kKick,
        kWho,
        kReconnect,
        kSleep,
        kHelp,
        kQuit,
    };

    Kind kind = Kind::kNone;
    std::string text;  // say, whisper, name, picture; the error of kInvalid
    int target = 0;    // whisper, act, kick
    unsigned char action = 0;
    double x = 0, y = 0, z = 0;
    float fourth = 0;
    int number = 0;  // model, kick minutes, sleep milliseconds
};

// The target of a chat line or action meant for the whole room.
constexpr int kEveryone = -1;

Command parse_command(const std::string& line);

// One line per command, for /help.
const char* command_help();

}  // namespace palaver::chat

#endif
