#include "server/ban_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "protocol/client_messages.h"
#include "server/word_escape.h"

namespace palaver::server {
namespace {

std::string system_error(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool write_all(int fd, const std::string& text) {
    const char* at = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string folder_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<Bans::List> parse_bans(std::istream& in, std::string& error) {
    Bans::List bans;
    auto now = Bans::Clock::now();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        auto words = split_words(line);
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        auto where = "line " + std::to_string(number) + ": ";
        if (words.size() != 2) {
            error = where + "expected \"end-in-seconds login-name\"";
            return std::nullopt;
        }
        std::string_view end = words[0];
        if (end.size() > 15 || end.find_first_not_of("0123456789") != std::string_view::npos) {
            error = where + "the end is not a number of seconds since 1970";
            return std::nullopt;
        }
        auto name = unescape_word(words[1]);
        if (!name || name->empty() || name->size() > kMaxName) {
            error = where + "not a login name of 1 to 30 bytes (\\xNN for blanks and controls)";
            return std::nullopt;
        }
        // Seconds, compared as seconds: an end past the clock's range is cut
        // to the latest a ban may have, never wrapped.
        auto seconds =
            std::min(std::stoll(std::string(end)),
                     static_cast<long long>(Bans::latest(now).time_since_epoch().count()));
        Bans::Until until{std::chrono::seconds(seconds)};
        if (until > std::chrono::time_point_cast<std::chrono::seconds>(now)) {
            auto& known = bans[*name];
            known = std::max(known, until);
        }
    }
    return bans;
}

std::optional<Bans::List> load_bans(const std::string& path, std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) {
        return Bans::List{};
    }
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    auto bans = parse_bans(in, error);
    if (!bans) {
        error = path + ", " + error;
    }
    return bans;
}

bool save_bans(const std::string& path, const Bans::List& bans, std::string& error) {
    std::ostringstream text;
    text << "# palaver-server bans: end (seconds since 1970, UTC) and login name\n";
    for (const auto& [name, until] : bans) {
        text << until.time_since_epoch().count() << ' ' << escape_word(name) << '\n';
    }
    std::string temporary = path + ".XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = system_error("cannot create a temporary file beside " + path);
        return false;
    }
    bool written = write_all(fd, text.str()) && ::fsync(fd) == 0;
    if (!written) {
        error = system_error("cannot write " + std::string(name.data()));
    }
    if (::close(fd) != 0 && written) {
        written = false;
        error = system_error("cannot write " + std::string(name.data()));
    }
    if (written && ::rename(name.data(), path.c_str()) != 0) {
        written = false;
        error = system_error("cannot rename " + std::string(name.data()) + " to " + path);
    }
    if (!written) {
        ::unlink(name.data());
        return false;
    }
    // The rename itself must reach the disk too.
    int folder = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

}  // namespace palaver::server
