#include "protocol/login_reply.h"

#include <algorithm>
#include <cstring>

#include "protocol/wire.h"

namespace palaver {

std::size_t LoginReplyParser::wanted() const {
    switch (state_) {
        case State::Status:
        case State::GroupCount:
            return 4 - partialSize_;
        case State::Records: {
            std::uint64_t rest = recordsLeft_ * kUserInfoSize - partialSize_;
            return static_cast<std::size_t>(std::min<std::uint64_t>(rest, kGroupBufferSize));
        }
        case State::Refused:
        case State::Done:
            break;
    }
    return 0;
}

void LoginReplyParser::finish_group() {
    ++groupIndex_;
    --groupsLeft_;
    state_ = groupsLeft_ == 0 ? State::Done : State::GroupCount;
}

std::size_t LoginReplyParser::feed(const std::uint8_t* bytes, std::size_t count, Sink& sink) {
    std::size_t used = 0;
    while (used < count &&
           (state_ == State::Status || state_ == State::GroupCount || state_ == State::Records)) {
        std::size_t need = (state_ == State::Records ? kUserInfoSize : 4) - partialSize_;
        std::size_t take = std::min(need, count - used);
        std::memcpy(partial_.data() + partialSize_, bytes + used, take);
        partialSize_ += take;
        used += take;
        if (take < need) {
            break;
        }
        partialSize_ = 0;
        if (state_ == State::Status) {
            status_ = wire::load_i32(partial_.data());
            if (status_ < 0) {
                state_ = State::Refused;
            } else {
                groupsLeft_ = static_cast<std::uint32_t>(status_);
                state_ = groupsLeft_ == 0 ? State::Done : State::GroupCount;
            }
        } else if (state_ == State::GroupCount) {
            std::int32_t records = wire::load_i32(partial_.data());
            if (records <= 0) {
                finish_group();
            } else {
                recordsLeft_ = static_cast<std::uint64_t>(records);
                recordIndex_ = 0;
                state_ = State::Records;
            }
        } else {
            stUserInfo record = user_from_bytes(partial_.data());
            sink.on_record(record, groupIndex_ == 0 && recordIndex_ == 0);
            ++recordIndex_;
            if (--recordsLeft_ == 0) {
                finish_group();
            }
        }
    }
    return used;
}

std::vector<std::uint8_t> encode_login_reply(std::int32_t status,
                                             const std::vector<std::vector<stUserInfo>>& groups) {
    std::vector<std::uint8_t> out(4);
    wire::store_i32(out.data(), status);
    if (status < 0) {
        return out;
    }
    for (const auto& group : groups) {
        std::size_t at = out.size();
        out.resize(at + 4 + group.size() * kUserInfoSize);
        wire::store_i32(out.data() + at, static_cast<std::int32_t>(group.size()));
        if (!group.empty()) {
            std::memcpy(out.data() + at + 4, group.data(), group.size() * kUserInfoSize);
        }
    }
    return out;
}

}  // namespace palaver
