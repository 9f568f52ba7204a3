#include "server/cluster/bus_message.h"

#include <algorithm>
#include <cstring>

#include "protocol/records.h"
#include "protocol/wire.h"

namespace palaver::server::cluster {
namespace {

class Writer {
  public:
    Writer(std::vector<std::uint8_t>& out, const BusHeader& h, BusType type) : out_(out) {
        out_.clear();
        u8(kBusVersion);
        u8(static_cast<std::uint8_t>(type));
        u16(h.node);
        u32(h.room);
        u64(h.incarnation);
        u64(h.seq);
        u64(h.previous);
    }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) { wire::store_u16(grow(2), v); }
    void u32(std::uint32_t v) { wire::store_u32(grow(4), v); }
    void u64(std::uint64_t v) { wire::store_u64(grow(8), v); }
    void bytes(const void* p, std::size_t n) {
        if (n > 0) {
            std::memcpy(grow(n), p, n);
        }
    }

  private:
    std::uint8_t* grow(std::size_t n) {
        out_.resize(out_.size() + n);
        return out_.data() + out_.size() - n;
    }
    std::vector<std::uint8_t>& out_;
};

// Reads fields in order; once a read would pass the end it fails, and every
// later read fails too.
class Reader {
  public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), left_(n) {}
    bool ok() const { return ok_; }
    bool done() const { return ok_ && left_ == 0; }
    const std::uint8_t* take(std::size_t n) {
        if (!ok_ || n > left_) {
            ok_ = false;
            return nullptr;
        }
        const std::uint8_t* at = p_;
        p_ += n;
        left_ -= n;
        return at;
    }
    std::uint8_t u8() {
        auto p = take(1);
        return p ? p[0] : 0;
    }
    std::uint16_t u16() {
        auto p = take(2);
        return p ? wire::load_u16(p) : 0;
    }
    std::uint32_t u32() {
        auto p = take(4);
        return p ? wire::load_u32(p) : 0;
    }
    std::uint64_t u64() {
        auto p = take(8);
        return p ? wire::load_u64(p) : 0;
    }
    std::string text(std::size_t n) {
        auto p = take(n);
        return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    }
    stUserInfo record() {
        auto p = take(kUserInfoSize);
        return p ? user_from_bytes(p) : stUserInfo{};
    }

  private:
    const std::uint8_t* p_;
    std::size_t left_;
    bool ok_ = true;
};

bool known_type(std::uint8_t type) {
    return type >= static_cast<std::uint8_t>(BusType::Heartbeat) &&
           type <= static_cast<std::uint8_t>(BusType::Goodbye);
}

}  // namespace

void encode_heartbeat(std::vector<std::uint8_t>& out, const BusHeader& h, std::uint32_t members) {
    Writer w(out, h, BusType::Heartbeat);
    w.u32(members);
}

void encode_record(std::vector<std::uint8_t>& out, const BusHeader& h, const stUserInfo& user) {
    Writer w(out, h, h.type == BusType::Entered ? BusType::Entered : BusType::Updated);
    w.bytes(&user, kUserInfoSize);
}

void encode_left(std::vector<std::uint8_t>& out, const BusHeader& h,
                 const std::vector<std::int32_t>& ids) {
    Writer w(out, h, BusType::Left);
    std::size_t n = std::min(ids.size(), kMaxLeftIds);
    w.u16(static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        w.u32(static_cast<std::uint32_t>(ids[i]));
    }
}

void encode_talk(std::vector<std::uint8_t>& out, const BusHeader& h, const BusTalk& talk) {
    Writer w(out, h, BusType::Talk);
    w.u32(static_cast<std::uint32_t>(talk.sender));
    w.u32(static_cast<std::uint32_t>(talk.target));
    w.u32(talk.key);
    w.u8(talk.flag);
    std::size_t n = std::min(talk.text.size(), kMaxBusText);
    w.u16(static_cast<std::uint16_t>(n));
    w.bytes(talk.text.data(), n);
}

void encode_kick(std::vector<std::uint8_t>& out, const BusHeader& h, const BusKick& kick) {
    Writer w(out, h, BusType::Kick);
    w.u32(static_cast<std::uint32_t>(kick.target));
    w.u32(static_cast<std::uint32_t>(kick.minutes));
    std::size_t a = std::min(kick.admin.size(), kMaxAdminName);
    w.u16(static_cast<std::uint16_t>(a));
    w.bytes(kick.admin.data(), a);
    std::size_t n = std::min(kick.by.size(), kMaxKickerText);
    w.u16(static_cast<std::uint16_t>(n));
    w.bytes(kick.by.data(), n);
}

void encode_snapshot_part(std::vector<std::uint8_t>& out, const BusHeader& h,
                          std::uint32_t snapshot, std::uint16_t part, bool last,
                          const stUserInfo* records, std::size_t count) {
    Writer w(out, h, BusType::SnapshotPart);
    count = std::min(count, kMaxSnapshotRecords);
    w.u32(snapshot);
    w.u16(part);
    w.u8(last ? 1 : 0);
    w.u16(static_cast<std::uint16_t>(count));
    w.bytes(records, count * kUserInfoSize);
}

void encode_resync_request(std::vector<std::uint8_t>& out, const BusHeader& h,
                           const BusResync& resync) {
    Writer w(out, h, BusType::ResyncRequest);
    w.u16(resync.node);
    std::size_t n = std::min(resync.rooms.size(), kMaxResyncRooms);
    w.u16(static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        w.u32(resync.rooms[i]);
    }
}

void encode_goodbye(std::vector<std::uint8_t>& out, const BusHeader& h) {
    Writer w(out, h, BusType::Goodbye);
}

std::optional<BusHeader> decode_bus_header(const std::uint8_t* bytes, std::size_t size) {
    Reader r(bytes, size);
    std::uint8_t version = r.u8();
    std::uint8_t type = r.u8();
    BusHeader h;
    h.node = r.u16();
    h.room = r.u32();
    h.incarnation = r.u64();
    h.seq = r.u64();
    h.previous = r.u64();
    if (!r.ok() || version != kBusVersion || !known_type(type)) {
        return std::nullopt;
    }
    h.type = static_cast<BusType>(type);
    return h;
}

std::optional<BusMessage> decode_bus_message(const std::uint8_t* bytes, std::size_t size) {
    auto header = decode_bus_header(bytes, size);
    if (!header) {
        return std::nullopt;
    }
    BusMessage m;
    m.header = *header;
    Reader r(bytes + kBusHeaderSize, size - kBusHeaderSize);
    switch (header->type) {
        case BusType::Heartbeat:
            m.members = r.u32();
            break;
        case BusType::Entered:
        case BusType::Updated:
            m.record = r.record();
            break;
        case BusType::Left: {
            std::size_t n = r.u16();
            if (n > kMaxLeftIds) {
                return std::nullopt;
            }
            for (std::size_t i = 0; i < n && r.ok(); ++i) {
                m.ids.push_back(static_cast<std::int32_t>(r.u32()));
            }
            break;
        }
        case BusType::Talk: {
            m.talk.sender = static_cast<std::int32_t>(r.u32());
            m.talk.target = static_cast<std::int32_t>(r.u32());
            m.talk.key = r.u32();
            m.talk.flag = r.u8();
            std::size_t n = r.u16();
            if (n > kMaxBusText) {
                return std::nullopt;
            }
            m.talk.text = r.text(n);
            break;
        }
        case BusType::Kick: {
            m.kick.target = static_cast<std::int32_t>(r.u32());
            m.kick.minutes = static_cast<std::int32_t>(r.u32());
            std::size_t a = r.u16();
            if (a > kMaxAdminName) {
                return std::nullopt;
            }
            m.kick.admin = r.text(a);
            std::size_t n = r.u16();
            if (n > kMaxKickerText) {
                return std::nullopt;
            }
            m.kick.by = r.text(n);
            break;
        }
        case BusType::SnapshotPart: {
            m.snapshot.snapshot = r.u32();
            m.snapshot.part = r.u16();
            std::uint8_t last = r.u8();
            std::size_t n = r.u16();
            if (last > 1 || n > kMaxSnapshotRecords) {
                return std::nullopt;
            }
            m.snapshot.last = last == 1;
            for (std::size_t i = 0; i < n && r.ok(); ++i) {
                m.snapshot.records.push_back(r.record());
            }
            break;
        }
        case BusType::ResyncRequest: {
            m.resync.node = r.u16();
            std::size_t n = r.u16();
            if (n > kMaxResyncRooms) {
                return std::nullopt;
            }
            for (std::size_t i = 0; i < n && r.ok(); ++i) {
                m.resync.rooms.push_back(r.u32());
            }
            break;
        }
        case BusType::Goodbye:
            break;
    }
    if (!r.done()) {
        return std::nullopt;
    }
    return m;
}

}  // namespace palaver::server::cluster
