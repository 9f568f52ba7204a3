#include "notice_text.h"

namespace palaver::chat {
namespace {

// " 登录了！", " 退出了！" and " 改名为: " in GBK.
const std::string kArrival = "\x20\xB5\xC7\xC2\xBC\xC1\xCB\xA3\xA1";
const std::string kDeparture = "\x20\xCD\xCB\xB3\xF6\xC1\xCB\xA3\xA1";
const std::string kRename = "\x20\xB8\xC4\xC3\xFB\xCE\xAA\x3A\x20";

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string notice_to_utf8(const std::string& notice, Codepage& codepage) {
    for (const std::string* tail : {&kArrival, &kDeparture}) {
        if (ends_with(notice, *tail)) {
            const std::string name = notice.substr(0, notice.size() - tail->size());
            return codepage.to_utf8(name) + codepage.gbk_to_utf8(*tail);
        }
    }
    const std::size_t at = notice.find(kRename);
    if (at != std::string::npos) {
        return codepage.to_utf8(notice.substr(0, at)) + codepage.gbk_to_utf8(kRename) +
               codepage.to_utf8(notice.substr(at + kRename.size()));
    }
    return codepage.to_utf8(notice);
}

}  // namespace palaver::chat
