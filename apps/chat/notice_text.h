// The library composes its arrival, departure and rename notices from names
// in the room's code page and fixed fragments in GBK. Each part is decoded
// with its own code page so both read correctly whatever --codepage says.
#ifndef PALAVER_CHAT_NOTICE_TEXT_H
#define PALAVER_CHAT_NOTICE_TEXT_H

#include <string>

#include "codepage.h"

namespace palaver::chat {

std::string notice_to_utf8(const std::string& notice, Codepage& codepage);

}  // namespace palaver::chat

#endif
