#include "server/word_escape.h"

namespace palaver::server {
namespace {

bool needs_escape(unsigned char c) {
    return c <= 0x20 || c == 0x7f || c == '\\';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

std::string escape_word(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string word;
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (needs_escape(c)) {
            word += {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
        } else {
            word += ch;
        }
    }
    return word;
}

std::optional<std::string> unescape_word(std::string_view word) {
    std::string bytes;
    for (std::size_t i = 0; i < word.size(); ++i) {
        auto c = static_cast<unsigned char>(word[i]);
        if (c != '\\') {
            if (needs_escape(c)) {
                return std::nullopt;
            }
            bytes += word[i];
            continue;
        }
        if (word.size() - i < 4 || word[i + 1] != 'x') {
            return std::nullopt;
        }
        int high = hex_digit(word[i + 2]), low = hex_digit(word[i + 3]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
        i += 3;
    }
    return bytes;
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) {
            break;
        }
        std::size_t end = line.find_first_of(" \t", at);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

}  // namespace palaver::server
