// Avatar actions: the action byte that DoAnction carries, and the names the
// chat client gives the common ones. Numbers outside the table pass through.
#ifndef PALAVER_CHAT_ACTIONS_H
#define PALAVER_CHAT_ACTIONS_H

#include <optional>
#include <string>
#include <string_view>

namespace palaver::chat {

// "wave" or "3" (0..255) to the action byte; nothing for anything else.
std::optional<unsigned char> parse_action(std::string_view word);

// "waves" for a named action, "shows action 42" for any other byte.
std::string describe_action(unsigned char action);

// The names, for help texts: "wave bow nod ...".
std::string action_names();

}  // namespace palaver::chat

#endif
