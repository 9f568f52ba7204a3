// The bans file (--bans): one ban a line, its end in seconds since 1970 (UTC)
// and the login name as one word (server/word_escape.h):
//
//   # palaver-server bans: end (seconds since 1970, UTC) and login name
//   1767322800 bob
//
// Blank lines and lines starting with '#' are skipped. It is written whole
// on every change, to a temporary file in the same folder that is synced and
// then renamed over the old one, so a crash leaves the old list or the new
// one, never half of one.
#ifndef PALAVER_SERVER_BAN_FILE_H
#define PALAVER_SERVER_BAN_FILE_H

#include <iosfwd>
#include <optional>
#include <string>

#include "server/bans.h"

namespace palaver::server {

// Nothing, with `error` naming the line, when a line does not parse. Bans
// that have ended are left out.
std::optional<Bans::List> parse_bans(std::istream& in, std::string& error);
// A file that does not exist holds no bans.
std::optional<Bans::List> load_bans(const std::string& path, std::string& error);
// False, with `error` saying why, when the file could not be replaced.
bool save_bans(const std::string& path, const Bans::List& bans, std::string& error);

}  // namespace palaver::server

#endif
