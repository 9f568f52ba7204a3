// Bans by login name, each until a point in time.
#ifndef PALAVER_SERVER_BANS_H
#define PALAVER_SERVER_BANS_H

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>

namespace palaver::server {

class Bans {
  public:
    using Clock = std::chrono::steady_clock;

    // Minutes of 0 or less ban nobody. Very long bans are cut to a century,
    // which keeps the end time inside the clock's range.
    void ban(const std::string& name, long long minutes, Clock::time_point now);
    // A ban another node decided, ending at `until`.
    void ban_until(const std::string& name, Clock::time_point until);
    bool banned(std::string_view name, Clock::time_point now);

  private:
    std::unordered_map<std::string, Clock::time_point> until_;
};

}  // namespace palaver::server

#endif
