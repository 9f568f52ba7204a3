// A login name as one blank-free word of a text line: the bans file and the
// control socket's requests carry names this way. A login name is up to 30
// arbitrary bytes, so every byte up to 0x20 (blanks, line ends), 0x7F and
// the backslash is written \xNN; other bytes pass, so UTF-8 and GBK names
// stay readable.
#ifndef PALAVER_SERVER_WORD_ESCAPE_H
#define PALAVER_SERVER_WORD_ESCAPE_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace palaver::server {

std::string escape_word(std::string_view bytes);
// Nothing when `word` holds a raw blank or control byte, or a backslash
// that does not start \xNN.
std::optional<std::string> unescape_word(std::string_view word);
// The words of a line, split at runs of blanks (spaces and tabs).
std::vector<std::string_view> split_words(std::string_view line);

}  // namespace palaver::server

#endif
