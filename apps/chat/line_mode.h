// The plain front end for pipes and scripts: one command a line on standard
// input, one event a line on standard output ("[kind] text"), flushed as it
// comes.
#ifndef PALAVER_CHAT_LINE_MODE_H
#define PALAVER_CHAT_LINE_MODE_H

#include "session.h"

namespace palaver::chat {

// Exit status: 0 after /quit or the end of input, 2 when the login failed,
// 3 when the connection was lost.
int run_line_mode(Session& session);

void print_events(const Events& events);

}  // namespace palaver::chat

#endif
