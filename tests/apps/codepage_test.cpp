#include "codepage.h"

#include <gtest/gtest.h>

#include "notice_text.h"

namespace palaver::chat {
namespace {

// 你好 in GBK and in UTF-8.
const std::string kHelloGbk = "\xC4\xE3\xBA\xC3";
const std::string kHelloUtf8 = "\xE4\xBD\xA0\xE5\xA5\xBD";

TEST(Codepage, GbkRoundTripsThroughUtf8) {
    Codepage cp("GBK");
    EXPECT_EQ(cp.to_utf8(kHelloGbk), kHelloUtf8);
    EXPECT_EQ(cp.from_utf8(kHelloUtf8), kHelloGbk);
    EXPECT_EQ(cp.from_utf8("plain"), "plain");
    EXPECT_EQ(cp.to_utf8(""), "");
    // Long enough to need several passes through the conversion buffer.
    std::string gbk, utf8;
    for (int i = 0; i < 500; ++i) {
        gbk += kHelloGbk;
        utf8 += kHelloUtf8;
    }
    EXPECT_EQ(cp.to_utf8(gbk), utf8);
    EXPECT_EQ(cp.from_utf8(utf8), gbk);
}

TEST(Codepage, BadWireBytesBecomeQuestionMarksAndConversionGoesOn) {
    Codepage cp("GBK");
    EXPECT_EQ(cp.to_utf8("a\xFF"
                         "b"),
              "a?b");
    // A lead byte cut off at the end of the text.
    EXPECT_EQ(cp.to_utf8("ok\xC4"), "ok?");
}

TEST(Codepage, TextWithNoFormInTheCodePageIsRefused) {
    Codepage cp("GBK");
    EXPECT_FALSE(cp.from_utf8("\xF0\x9F\x98\x80").has_value());  // an emoji
    EXPECT_FALSE(cp.from_utf8("bad \xFF utf-8").has_value());
    Codepage latin("ISO-8859-1");
    EXPECT_FALSE(latin.from_utf8(kHelloUtf8).has_value());
    EXPECT_EQ(latin.from_utf8("caf\xC3\xA9"), "caf\xE9");
}

TEST(Codepage, UnknownCodePageThrows) {
    EXPECT_THROW(Codepage("NO-SUCH-CHARSET"), std::runtime_error);
}

TEST(NoticeText, FragmentsAreGbkAndNamesFollowTheCodePage) {
    const std::string arrival = "\x20\xB5\xC7\xC2\xBC\xC1\xCB\xA3\xA1";
    const std::string rename = "\x20\xB8\xC4\xC3\xFB\xCE\xAA\x3A\x20";
    Codepage gbk("GBK");
    EXPECT_EQ(notice_to_utf8(kHelloGbk + arrival, gbk),
              kHelloUtf8 + " \xE7\x99\xBB\xE5\xBD\x95\xE4\xBA\x86\xEF\xBC\x81");  // 登录了！
    EXPECT_EQ(notice_to_utf8("ann" + rename + kHelloGbk, gbk),
              "ann \xE6\x94\xB9\xE5\x90\x8D\xE4\xB8\xBA: " + kHelloUtf8);  // 改名为:
    // A room whose names are UTF-8 still reads the library's GBK fragments.
    Codepage utf8("UTF-8");
    EXPECT_EQ(notice_to_utf8(kHelloUtf8 + arrival, utf8),
              kHelloUtf8 + " \xE7\x99\xBB\xE5\xBD\x95\xE4\xBA\x86\xEF\xBC\x81");
    EXPECT_EQ(notice_to_utf8("no fragment", utf8), "no fragment");
}

}  // namespace
}  // namespace palaver::chat
