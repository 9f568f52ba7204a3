// What a node keeps in the bus's key-value bucket, where it outlives the
// node: the block of user ids the node has reserved, so that a node that
// restarts under the same node id goes on above every id it gave before,
// and the bans every node keeps. What cannot be stored while the bus is
// away is stored once it is back. Runs on the server's event loop.
#ifndef PALAVER_SERVER_CLUSTER_BUCKET_H
#define PALAVER_SERVER_CLUSTER_BUCKET_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "server/bans.h"
#include "server/cluster/bus_origin.h"

namespace palaver::server {
class Log;
}  // namespace palaver::server

namespace palaver::server::cluster {

class Bucket {
  public:
    // Puts a value without waiting; false when the bus is away.
    using Store = std::function<bool(const std::string& key, const std::string& value)>;

    // `nodes`: the cluster's nodes, the only writers whose bans are taken.
    Bucket(std::uint16_t node, const NodeSet& nodes, Log& log, Store store);

    // The key of this node's reservation, and what was stored under it when
    // the node started (none for a new node).
    std::string ids_key() const;
    void resume_ids(const std::optional<std::string>& stored);
    // The id next_id hands out next, for the log.
    std::int32_t upcoming_id() const;
    // A user id no node hands out while the cluster runs; reserves the next
    // block in time.
    std::int32_t next_id();

    // Keeps a ban of `name` on every node, for `minutes` from now.
    void ban(const std::string& name, std::int32_t minutes);
    // Lifts the ban of `name` on every node: its entry's end becomes 0.
    void unban(const std::string& name);

    // What a ban entry the bus reports (any node's, this one's too) means
    // for this node: the name is banned until `until`, or, with none, its
    // ban is lifted (an end of 0, or the entry deleted: `value` empty). An
    // entry is "END NODE": its end and the node that wrote it, which must be
    // one of the cluster's.
    struct BanNews {
        std::string name;
        std::optional<Bans::Until> until;
    };
    // Nothing for a ban that has already ended or an entry that is not one.
    std::optional<BanNews> stored(const std::string& key, const std::string& value);

    // The bus is back: stores what waited for it.
    void reconnected();

  private:
    void store_reservation();
    void store_ban(const std::string& key, const std::string& value);
    std::string writer() const;  // how this node signs the ban entries it writes

    std::uint16_t node_;
    NodeSet nodes_;
    Log& log_;
    Store store_;
    std::uint32_t counter_ = 1;      // low bits of the next user id
    std::uint32_t reserved_ = 1;     // ids below this one are reserved in the bucket
    bool reservationStored_ = true;  // false while the bus was away when it changed
    std::map<std::string, std::string> unstoredBans_;  // to store once the bus is back
};

}  // namespace palaver::server::cluster

#endif
