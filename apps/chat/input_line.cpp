#include "input_line.h"

#include <cstdint>

namespace palaver::chat {

void InputLine::insert(wchar_t c) {
    text_.insert(cursor_, 1, c);
    ++cursor_;
}

void InputLine::backspace() {
    if (cursor_ > 0) {
        text_.erase(--cursor_, 1);
    }
}

void InputLine::erase() {
    if (cursor_ < text_.size()) {
        text_.erase(cursor_, 1);
    }
}

void InputLine::left() {
    if (cursor_ > 0) {
        --cursor_;
    }
}

void InputLine::right() {
    if (cursor_ < text_.size()) {
        ++cursor_;
    }
}

void InputLine::clear() {
    text_.clear();
    cursor_ = 0;
}

void InputLine::older() {
    if (browsing_ == 0) {
        return;
    }
    if (browsing_ == history_.size()) {
        draft_ = text_;
    }
    text_ = history_[--browsing_];
    cursor_ = text_.size();
}

void InputLine::newer() {
    if (browsing_ >= history_.size()) {
        return;
    }
    ++browsing_;
    text_ = browsing_ == history_.size() ? draft_ : history_[browsing_];
    cursor_ = text_.size();
}

std::wstring InputLine::submit() {
    std::wstring line = std::move(text_);
    if (!line.empty() && (history_.empty() || history_.back() != line)) {
        history_.push_back(line);
        if (history_.size() > kHistoryLimit) {
            history_.erase(history_.begin());
        }
    }
    browsing_ = history_.size();
    draft_.clear();
    clear();
    return line;
}

std::string to_utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace palaver::chat
