#include "event.h"

namespace palaver::chat {

const char* kind_tag(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::kChat:
            return "chat";
        case Event::Kind::kWhisper:
            return "whisper";
        case Event::Kind::kAction:
            return "action";
        case Event::Kind::kNotice:
            return "notice";
        case Event::Kind::kUser:
            return "user";
        case Event::Kind::kWho:
            return "who";
        case Event::Kind::kStatus:
            return "status";
        case Event::Kind::kInfo:
            return "info";
        case Event::Kind::kError:
            return "error";
    }
    return "?";
}

}  // namespace palaver::chat
