// The system notices the library composes itself: names exactly as the server
// sent them, joined with fixed GBK fragments.
#ifndef PALAVER_LIB_CONNECTION_NOTICES_H
#define PALAVER_LIB_CONNECTION_NOTICES_H

#include <string>

#include "Palaver.h"

namespace palaver {

constexpr std::int32_t kNoticeId = -2;

extern const char kArrivalFragment[];    // " 登录了！"
extern const char kDepartureFragment[];  // " 退出了！"
extern const char kRenameFragment[];     // " 改名为: "

std::string arrival_text(const stUserInfo& user);
std::string departure_text(const stUserInfo& user);
std::string rename_text(const stUserInfo& before, const stUserInfo& after);

// A notice record with the given text: sender and target -2, no location key.
stChatContent make_notice(std::string text);

}  // namespace palaver

#endif
