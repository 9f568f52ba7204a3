// The unframed login reply: an int32 status, then (when it is not negative)
// that many groups, each an int32 count and that many 83-byte records.
#ifndef PALAVER_PROTOCOL_LOGIN_REPLY_H
#define PALAVER_PROTOCOL_LOGIN_REPLY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "palaver_records.h"
#include "protocol/records.h"
#include "protocol/wire.h"

namespace palaver {

constexpr std::size_t kMaxGroupRecords = 197;  // 197 * 83 fits a 16384-byte group buffer
constexpr std::size_t kGroupBufferSize = 16384;

// Fed the reply's bytes in any cuts; hands out each record as soon as it is
// whole. wanted() never asks past the reply's end, so a reader that reads at
// most wanted() bytes leaves what follows the reply on the connection.
class LoginReplyParser {
  public:
    enum class State { Status, GroupCount, Records, Refused, Done };

    struct Sink {
        virtual ~Sink() = default;
        // `own` marks the first record of the first group.
        virtual void on_record(const stUserInfo& record, bool own) = 0;
    };

    State state() const { return state_; }
    std::int32_t status() const { return status_; }
    // True once a status of zero or more was read: from then on a reply that
    // breaks off is a broken reply rather than a missing one.
    bool accepted() const { return state_ != State::Status && state_ != State::Refused; }
    std::size_t wanted() const;
    // Consumes bytes up to the end of the reply and returns how many it took.
    std::size_t feed(const std::uint8_t* bytes, std::size_t count, Sink& sink);

  private:
    void finish_group();

    State state_ = State::Status;
    std::int32_t status_ = 0;
    std::uint32_t groupsLeft_ = 0;
    std::uint32_t groupIndex_ = 0;
    std::uint64_t recordsLeft_ = 0;
    std::uint64_t recordIndex_ = 0;
    std::array<std::uint8_t, kUserInfoSize> partial_{};
    std::size_t partialSize_ = 0;
};

// Builds a whole reply for servers and tests: `groups` of records, each group
// written with its own count. A negative status is written alone.
std::vector<std::uint8_t> encode_login_reply(std::int32_t status,
                                             const std::vector<std::vector<stUserInfo>>& groups);

// An accepted reply of `count` records cut into groups of at most 197, for a
// server that holds its records apart: its size, and the reply itself written
// into `out` (login_reply_size(count) bytes), with record(i) giving record i.
inline std::size_t login_reply_size(std::size_t count) {
    std::size_t groups = (count + kMaxGroupRecords - 1) / kMaxGroupRecords;
    return 4 + 4 * groups + count * kUserInfoSize;
}

template <class RecordAt>
void encode_login_reply_grouped(std::uint8_t* out, std::size_t count, RecordAt&& record) {
    std::size_t groups = (count + kMaxGroupRecords - 1) / kMaxGroupRecords;
    wire::store_i32(out, static_cast<std::int32_t>(groups));
    out += 4;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % kMaxGroupRecords == 0) {
            std::size_t inGroup = count - i < kMaxGroupRecords ? count - i : kMaxGroupRecords;
            wire::store_i32(out, static_cast<std::int32_t>(inGroup));
            out += 4;
        }
        const stUserInfo& r = record(i);
        std::memcpy(out, &r, kUserInfoSize);
        out += kUserInfoSize;
    }
}

}  // namespace palaver

#endif
