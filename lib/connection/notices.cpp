#include "lib/connection/notices.h"

#include "protocol/records.h"

namespace palaver {

// GBK (code page 936) bytes, kept as escapes so the source stays ASCII.
const char kArrivalFragment[] = "\x20\xB5\xC7\xC2\xBC\xC1\xCB\xA3\xA1";
const char kDepartureFragment[] = "\x20\xCD\xCB\xB3\xF6\xC1\xCB\xA3\xA1";
const char kRenameFragment[] = "\x20\xB8\xC4\xC3\xFB\xCE\xAA\x3A\x20";

namespace {

std::string name_of(const stUserInfo& user) {
    return std::string(user.name, name_length(user));
}

}  // namespace

std::string arrival_text(const stUserInfo& user) {
    return name_of(user) + kArrivalFragment;
}

std::string departure_text(const stUserInfo& user) {
    return name_of(user) + kDepartureFragment;
}

std::string rename_text(const stUserInfo& before, const stUserInfo& after) {
    std::string text = name_of(before);
    text += kRenameFragment;
    text.append(after.name, name_length(after));
    return text;
}

stChatContent make_notice(std::string text) {
    stChatContent notice{};
    notice.sender = kNoticeId;
    notice.target = kNoticeId;
    notice.flag = false;
    notice.text = std::move(text);
    return notice;
}

}  // namespace palaver
