// A room: the sessions whose users share a location key. It fans messages
// out and gathers departures so that several can share one Users left.
#ifndef PALAVER_SERVER_ROOM_H
#define PALAVER_SERVER_ROOM_H

#include <cstdint>
#include <vector>

#include "server/buffer_pool.h"

namespace palaver::server {

class Session;

class Room {
  public:
    explicit Room(std::uint32_t key) : key_(key) {}

    std::uint32_t key() const { return key_; }
    const std::vector<Session*>& members() const { return members_; }
    bool empty() const { return members_.empty(); }

    void add(Session& session);
    // Takes the session out and notes its user id for the next Users left.
    void remove(Session& session);

    // The same bytes to every member (but `except`), queued by reference.
    void broadcast(const BufferRef& message, const Session* except = nullptr) const;

    // True when departures are waiting to be announced; the caller announces
    // them with announce_departures() on a later turn of the event loop.
    bool departures_pending() const { return !departed_.empty(); }
    void announce_departures(BufferPool& pool);

  private:
    std::uint32_t key_;
    std::vector<Session*> members_;  // unordered: removal swaps with the last
    std::vector<std::int32_t> departed_;
};

}  // namespace palaver::server

#endif
