// What nodes of a cluster say to each other on the bus: encoded once by the
// node that speaks, decoded by every other. Pure bytes, no sockets, no
// threads; every decoder checks each field against the message's end.
#ifndef PALAVER_SERVER_CLUSTER_BUS_MESSAGE_H
#define PALAVER_SERVER_CLUSTER_BUS_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "palaver_records.h"

namespace palaver::server::cluster {

// Every message starts with this header (32 bytes, little-endian):
//   0 u8 version (2)   1 u8 type   2 u16 origin node   4 u32 room key
//   8 u64 incarnation of the origin node   16 u64 sequence number
//   24 u64 previous: the sequence number of the origin's previous message
//          in this room, 0 when it had no users there before this message
// Messages about a room (Entered, Left, Updated, Talk, SnapshotPart) go on
// that room's subject and name the room; the others go on the node's own
// subject with room and previous 0. Sequence numbers count every message of
// a run of the node, so those of one room rise but skip.
constexpr std::uint8_t kBusVersion = 2;
constexpr std::size_t kBusHeaderSize = 32;
constexpr std::size_t kMaxBusText = 300;           // a Talk's text, as on the wire
constexpr std::size_t kMaxKickerText = 200;        // who kicked, for the log
constexpr std::size_t kMaxAdminName = 255;         // the kicking admin's login name
constexpr std::size_t kMaxSnapshotRecords = 1000;  // per part: about 83 KB
constexpr std::size_t kMaxLeftIds = 4096;

enum class BusType : std::uint8_t {
    Heartbeat = 1,      // u32 members on the node
    Entered = 2,        // one user record
    Left = 3,           // u16 count, that many i32 ids
    Updated = 4,        // one user record
    Talk = 5,           // i32 sender, i32 target, 4-byte key, u8 flag, u16 n, n text bytes
    Kick = 6,           // i32 target, i32 ban minutes, u16 a, a bytes: admin's login name,
                        // u16 n, n bytes: who kicked
    SnapshotPart = 7,   // u32 snapshot, u16 part, u8 last, u16 count, count records
    ResyncRequest = 8,  // u16 node asked for (0: every node), u16 k, k u32 room keys
    Goodbye = 9,        // nothing: the node stops and its users leave
};

struct BusHeader {
    BusType type = BusType::Heartbeat;
    std::uint16_t node = 0;
    std::uint64_t incarnation = 0;
    std::uint64_t seq = 0;
    std::uint32_t room = 0;
    std::uint64_t previous = 0;
};

// Whether messages of this type are about one room and go on its subject.
inline bool is_room_type(BusType type) {
    return type == BusType::Entered || type == BusType::Left || type == BusType::Updated ||
           type == BusType::Talk || type == BusType::SnapshotPart;
}

constexpr std::size_t kMaxResyncRooms = 4096;

struct BusResync {
    std::uint16_t node = 0;  // asked for; 0: every node
    std::vector<std::uint32_t> rooms;
};

struct BusTalk {
    std::int32_t sender = 0;
    std::int32_t target = 0;
    std::uint32_t key = 0;
    std::uint8_t flag = 0;
    std::string text;  // without its NUL
};

struct BusKick {
    std::int32_t target = 0;
    std::int32_t minutes = 0;
    // The login name of the admin who kicked: the receiving node checks it
    // against its own accounts file before it acts.
    std::string admin;
    std::string by;  // the kicking session, for the log
};

struct BusSnapshotPart {
    std::uint32_t snapshot = 0;
    std::uint16_t part = 0;
    bool last = false;
    std::vector<stUserInfo> records;
};

// One decoded message: the header and the body its type carries.
struct BusMessage {
    BusHeader header;
    std::uint32_t members = 0;      // Heartbeat
    stUserInfo record{};            // Entered, Updated
    std::vector<std::int32_t> ids;  // Left
    BusTalk talk;                   // Talk
    BusKick kick;                   // Kick
    BusSnapshotPart snapshot;       // SnapshotPart
    BusResync resync;               // ResyncRequest
};

// Encoders append one whole message to `out` (cleared first). Oversized
// fields are cut to their maximum.
void encode_heartbeat(std::vector<std::uint8_t>& out, const BusHeader& h, std::uint32_t members);
void encode_record(std::vector<std::uint8_t>& out, const BusHeader& h, const stUserInfo& user);
void encode_left(std::vector<std::uint8_t>& out, const BusHeader& h,
                 const std::vector<std::int32_t>& ids);
void encode_talk(std::vector<std::uint8_t>& out, const BusHeader& h, const BusTalk& talk);
void encode_kick(std::vector<std::uint8_t>& out, const BusHeader& h, const BusKick& kick);
void encode_snapshot_part(std::vector<std::uint8_t>& out, const BusHeader& h,
                          std::uint32_t snapshot, std::uint16_t part, bool last,
                          const stUserInfo* records, std::size_t count);
void encode_resync_request(std::vector<std::uint8_t>& out, const BusHeader& h,
                           const BusResync& resync);
void encode_goodbye(std::vector<std::uint8_t>& out, const BusHeader& h);

// Only the header, without looking at the body: the bus thread reads it to
// note that the node is alive.
std::optional<BusHeader> decode_bus_header(const std::uint8_t* bytes, std::size_t size);

// The whole message; nothing when the version, the type or any length does
// not fit the bytes exactly.
std::optional<BusMessage> decode_bus_message(const std::uint8_t* bytes, std::size_t size);

}  // namespace palaver::server::cluster

#endif
