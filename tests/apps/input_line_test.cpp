#include "input_line.h"

#include <gtest/gtest.h>

namespace palaver::chat {
namespace {

void type(InputLine& line, const std::wstring& s) {
    for (wchar_t c : s) {
        line.insert(c);
    }
}

TEST(InputLine, EditsAtTheCursor) {
    InputLine line;
    type(line, L"helo");
    line.left();
    line.insert(L'l');
    EXPECT_EQ(line.text(), L"hello");
    line.home();
    line.erase();
    line.backspace();  // nothing before the cursor
    EXPECT_EQ(line.text(), L"ello");
    line.end();
    line.right();
    line.backspace();
    EXPECT_EQ(line.text(), L"ell");
    EXPECT_EQ(line.cursor(), 3u);
}

TEST(InputLine, HistoryWalksBackAndReturnsToTheDraft) {
    InputLine line;
    type(line, L"one");
    EXPECT_EQ(line.submit(), L"one");
    type(line, L"two");
    line.submit();
    type(line, L"two");
    line.submit();  // a repeat is kept once
    line.submit();  // an empty line is not kept
    type(line, L"dra");
    line.older();
    EXPECT_EQ(line.text(), L"two");
    line.older();
    EXPECT_EQ(line.text(), L"one");
    line.older();
    EXPECT_EQ(line.text(), L"one");
    line.newer();
    line.newer();
    EXPECT_EQ(line.text(), L"dra");
    EXPECT_EQ(line.cursor(), 3u);
    line.newer();
    EXPECT_EQ(line.text(), L"dra");
}

TEST(InputLine, HistoryIsBounded) {
    InputLine line;
    for (std::size_t i = 0; i < InputLine::kHistoryLimit + 5; ++i) {
        type(line, std::to_wstring(i));
        line.submit();
    }
    for (std::size_t i = 0; i < InputLine::kHistoryLimit + 5; ++i) {
        line.older();
    }
    EXPECT_EQ(line.text(), L"5");
}

TEST(InputLine, Utf8EncodingCoversEveryLength) {
    EXPECT_EQ(to_utf8(L"a\u00e9\u4f60\U0001F600"), "a\xC3\xA9\xE4\xBD\xA0\xF0\x9F\x98\x80");
    EXPECT_EQ(to_utf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace palaver::chat
