// Bans by login name, each until a wall-clock time: the end of a ban is kept
// in a file (server/ban_file.h) and shared by the nodes of a cluster, so it
// must mean the same after a restart and on another machine.
#ifndef PALAVER_SERVER_BANS_H
#define PALAVER_SERVER_BANS_H

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

namespace palaver::server {

class Bans {
  public:
    using Clock = std::chrono::system_clock;
    using Until = std::chrono::time_point<Clock, std::chrono::seconds>;
    // Sorted by name, for the file and the control socket's listing.
    using List = std::map<std::string, Until>;

    // The end of a ban of `minutes` from `now`. Very long bans are cut to a
    // century, which keeps the end inside the clock's range.
    static Until end_of(long long minutes, Clock::time_point now);
    // The latest end a ban may have: a century from now.
    static Until latest(Clock::time_point now);

    // Minutes of 0 or less ban nobody. A ban never shortens one in force,
    // and none ends later than latest(). True when the ban's end moved (a
    // new ban, or a longer one).
    bool ban(const std::string& name, long long minutes, Clock::time_point now);
    bool ban_until(const std::string& name, Until until);
    // False when the name was not banned.
    bool unban(const std::string& name);
    bool banned(std::string_view name, Clock::time_point now);
    // The bans still in force at `now`; the ended ones are forgotten.
    List list(Clock::time_point now);
    // Replaces every ban (a bans file read again, its ends within latest()).
    void replace(const List& bans);

  private:
    std::unordered_map<std::string, Until> until_;
};

}  // namespace palaver::server

#endif
