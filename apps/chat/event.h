// Something the chat client has to show: one line of UTF-8 text and its kind.
#ifndef PALAVER_CHAT_EVENT_H
#define PALAVER_CHAT_EVENT_H

#include <string>
#include <vector>

namespace palaver::chat {

struct Event {
    enum class Kind {
        kChat,     // a chat line
        kWhisper,  // a whisper to or from this user
        kAction,   // an avatar action
        kNotice,   // the library's arrival, departure and rename notices
        kUser,     // a change in the room: arrival, departure, move, model, picture
        kWho,      // the room list
        kStatus,   // the connection: logged in, lost, logged out
        kInfo,     // help and answers to the user's own commands
        kError,    // a command that could not be carried out
    };
    Kind kind;
    std::string text;
};

using Events = std::vector<Event>;

// The kind as a short word: "chat", "whisper", ... Line mode prints it in brackets.
const char* kind_tag(Event::Kind kind);

}  // namespace palaver::chat

#endif
