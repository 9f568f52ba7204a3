// The full-screen input line: the text being typed, the cursor and the
// history of lines sent, which Up and Down walk through.
#ifndef PALAVER_CHAT_INPUT_LINE_H
#define PALAVER_CHAT_INPUT_LINE_H

#include <cstddef>
#include <string>
#include <vector>

namespace palaver::chat {

class InputLine {
  public:
    static constexpr std::size_t kHistoryLimit = 200;

    void insert(wchar_t c);
    void backspace();
    void erase();  // the character under the cursor
    void left();
    void right();
    void home() { cursor_ = 0; }
    void end() { cursor_ = text_.size(); }
    void clear();
    void older();  // Up
    void newer();  // Down

    // The line as typed, which goes into the history, and an empty line.
    std::wstring submit();

    const std::wstring& text() const { return text_; }
    std::size_t cursor() const { return cursor_; }

  private:
    std::wstring text_;
    std::size_t cursor_ = 0;
    std::vector<std::wstring> history_;
    std::size_t browsing_ = 0;  // == history_.size() while editing a new line
    std::wstring draft_;        // the new line, kept while browsing
};

// UTF-32 (Linux wchar_t) to UTF-8; values that are no character become U+FFFD.
std::string to_utf8(const std::wstring& text);

}  // namespace palaver::chat

#endif
