// Log lines with a level, one per event, on stderr by default. Chat text is
// the caller's business: it only logs it when asked to (--log-chat). Bytes
// from outside (names, chat and rename text, what other nodes send) go in
// through untrusted() or escaped(), so no user can end a line, forge the next
// one or send escape sequences to the terminal of whoever reads the log.
#ifndef PALAVER_SERVER_LOG_H
#define PALAVER_SERVER_LOG_H

#include <iosfwd>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace palaver::server {

enum class Level { Debug, Info, Warn, Error };

std::optional<Level> parse_level(std::string_view name);

// A byte string from outside, for the log: every byte below 0x20, 0x7F, the
// backslash and the double quote is written as \xNN (two lowercase hex
// digits); every other byte passes, so GBK and UTF-8 text stays readable.
//   log.info("rename ", session.describe(), " to \"", untrusted(text), "\"");
struct Untrusted {
    std::string_view text;
};
inline Untrusted untrusted(std::string_view text) {
    return Untrusted{text};
}
std::ostream& operator<<(std::ostream& out, Untrusted text);
// The same escaping, for a text built before it reaches the log.
std::string escaped(std::string_view text);

class Log {
  public:
    explicit Log(Level minimum = Level::Info);
    Log(Level minimum, std::ostream& out);

    bool enabled(Level level) const { return level >= minimum_; }

    template <class... Parts>
    void write(Level level, const Parts&... parts) {
        if (!enabled(level)) {
            return;
        }
        std::ostringstream line;
        (line << ... << parts);
        emit(level, line.str());
    }

    template <class... Parts>
    void debug(const Parts&... parts) {
        write(Level::Debug, parts...);
    }
    template <class... Parts>
    void info(const Parts&... parts) {
        write(Level::Info, parts...);
    }
    template <class... Parts>
    void warn(const Parts&... parts) {
        write(Level::Warn, parts...);
    }
    template <class... Parts>
    void error(const Parts&... parts) {
        write(Level::Error, parts...);
    }

  private:
    // Writes one line. A byte below 0x20 or 0x7F still in `text` (a call site
    // that forgot untrusted()) is written as \xNN too: one event, one line.
    void emit(Level level, const std::string& text);

    Level minimum_;
    std::ostream* out_;
    std::mutex lock_;  // tests read the stream from another thread
};

}  // namespace palaver::server

#endif
