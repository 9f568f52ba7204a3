// Log lines with a level, one per event, on stderr by default. Chat text is
// the caller's business: it only logs it when asked to (--log-chat).
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
    void emit(Level level, const std::string& text);

    Level minimum_;
    std::ostream* out_;
    std::mutex lock_;  // tests read the stream from another thread
};

}  // namespace palaver::server

#endif
