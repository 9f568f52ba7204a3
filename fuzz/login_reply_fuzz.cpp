// The login reply parser under arbitrary statuses, counts and truncation.
// The input opens with a mode byte and a cut table; the rest is the reply as
// the server sends it, possibly followed by the first framed messages. The
// parser is fed the way Login feeds it (never more than wanted()) or, in the
// other mode, everything at once; it must never ask for or take a byte past
// the reply's end, and must hand out every record whole, in order, once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/login_reply.h"

namespace {

using palaver::LoginReplyParser;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

std::int32_t i32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

// Where the reply's records lie in the bytes at hand, and where the reply ends
// (or that it does not end within them).
struct Expected {
    std::vector<std::size_t> recordAt;
    std::size_t end = 0;
    bool complete = false;
    bool refused = false;
};

Expected expect(const std::uint8_t* p, std::size_t size) {
    Expected e;
    if (size < 4) {
        return e;
    }
    std::int32_t status = i32(p);
    std::size_t at = 4;
    if (status < 0) {
        e.refused = true;
        e.complete = true;
        e.end = 4;
        return e;
    }
    for (std::int64_t g = 0; g < status; ++g) {
        if (size - at < 4) {
            return e;
        }
        std::int32_t count = i32(p + at);
        at += 4;
        for (std::int64_t r = 0; r < count; ++r) {
            if (size - at < palaver::kUserInfoSize) {
                return e;
            }
            e.recordAt.push_back(at);
            at += palaver::kUserInfoSize;
        }
    }
    e.complete = true;
    e.end = at;
    return e;
}

struct CheckingSink : LoginReplyParser::Sink {
    const std::uint8_t* reply;
    const Expected* expected;
    std::size_t seen = 0;

    void on_record(const stUserInfo& record, bool own) override {
        check(seen < expected->recordAt.size(), "more records than the reply holds");
        check(own == (seen == 0 && expected->recordAt[0] == 8),
              "own mark on other than the first group's first record");
        check(std::memcmp(&record, reply + expected->recordAt[seen], sizeof record) == 0,
              "record handed out is not the one on the wire");
        ++seen;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    bool greedy = (data[0] & 0x80) != 0;
    std::size_t cutCount = data[0] % 8;
    if (size < 1 + cutCount) {
        return 0;
    }
    const std::uint8_t* cuts = data + 1;
    const std::uint8_t* reply = data + 1 + cutCount;
    const std::size_t replySize = size - 1 - cutCount;

    Expected expected = expect(reply, replySize);
    CheckingSink sink;
    sink.reply = reply;
    sink.expected = &expected;
    LoginReplyParser parser;

    std::size_t at = 0;
    std::size_t read = 0;
    while (at < replySize) {
        auto state = parser.state();
        if (state == LoginReplyParser::State::Done || state == LoginReplyParser::State::Refused) {
            break;
        }
        std::size_t wanted = parser.wanted();
        check(wanted > 0, "an unfinished reply wants nothing");
        check(wanted <= palaver::kGroupBufferSize, "wants more than the group buffer");
        if (expected.complete) {
            check(at + wanted <= expected.end, "wants bytes past the reply's end");
        }
        std::size_t n = greedy ? replySize - at : wanted;
        if (cutCount > 0) {
            std::size_t c = cuts[read++ % cutCount];
            n = std::min(n, 1 + c * c / 4);
        }
        n = std::min(n, replySize - at);
        std::size_t used = parser.feed(reply + at, n, sink);
        check(used <= n, "took more than it was given");
        check(used == n || parser.state() == LoginReplyParser::State::Done ||
                  parser.state() == LoginReplyParser::State::Refused,
              "left bytes unread while the reply goes on");
        at += used;
    }

    auto state = parser.state();
    if (expected.complete) {
        check(at == expected.end, "reply consumed to other than its end");
        check(state == (expected.refused ? LoginReplyParser::State::Refused
                                         : LoginReplyParser::State::Done),
              "complete reply not finished");
        check(sink.seen == expected.recordAt.size(), "a record was not handed out");
        check(parser.accepted() == !expected.refused, "accepted() disagrees with the status");
    } else {
        check(at == replySize, "truncated reply not consumed whole");
        check(state != LoginReplyParser::State::Done && state != LoginReplyParser::State::Refused,
              "truncated reply reported finished");
        check(sink.seen == expected.recordAt.size(), "records of a truncated reply lost");
    }
    return 0;
}
