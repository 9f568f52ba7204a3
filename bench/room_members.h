// Clients of the C interface logged in to one room (42) of a palaver-server
// on loopback, their ids consecutive, so that a line's sender maps to a
// member by subtraction.
#ifndef PALAVER_BENCH_ROOM_MEMBERS_H
#define PALAVER_BENCH_ROOM_MEMBERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "c_clients.h"

namespace palaver::bench {

constexpr std::uint32_t kBenchRoom = 42;

class RoomMembers {
  public:
    // Logs `count` clients of `kind` in, one after the other. Throws when one
    // cannot, or when the server hands out ids out of order.
    // `batching`: host-driven clients write the lines of one turn in one call.
    RoomMembers(std::uint16_t port, std::size_t count, ClientKind kind, bool batching = false);
    std::size_t size() const { return members_.size(); }
    palaver_client* client(std::size_t i) const { return members_[i].client.get(); }
    // The member index of a sender, or size() for anyone else.
    std::size_t index_of(std::int32_t sender) const {
        auto i = static_cast<std::size_t>(sender - baseId_);
        return sender < baseId_ || i >= size() ? size() : i;
    }
    // Wakes hosts stuck in a call: their connections end.
    void log_out_all() const;

  private:
    std::vector<LoggedIn> members_;
    std::int32_t baseId_ = 0;
};

}  // namespace palaver::bench

#endif
