// The full-screen front end (ncurses): a status line with the connection
// state, the chat pane, the users pane and an input line with history.
#ifndef PALAVER_CHAT_SCREEN_MODE_H
#define PALAVER_CHAT_SCREEN_MODE_H

#include "session.h"

namespace palaver::chat {

// Exit status: 0 after /quit, 2 when the login failed.
int run_screen_mode(Session& session);

}  // namespace palaver::chat

#endif
