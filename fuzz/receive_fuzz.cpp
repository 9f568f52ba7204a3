// The client's receive path under hostile server bytes. The input opens with
// a cut table (one count byte, then that many read sizes) and the rest is the
// server's byte stream, handed over in reads of those sizes through the
// FrameReader and RoomUpdater that the receive thread uses. The room that
// results must match a plain model of the same stream, whatever the cuts, and
// keep the invariants the host relies on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "lib/client/room_state.h"
#include "lib/connection/room_updater.h"
#include "protocol/frame_reader.h"
#include "tests/support/room_model.h"

namespace {

using palaver::ClientFrameReader;
using palaver::FrameReader;

constexpr std::size_t kMaxText = 500 - 1 - 13;  // the longest text a frame can carry

void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) {
        fail(what);
    }
}

stUserInfo own_record() {
    stUserInfo self;
    std::memset(&self, 0x55, sizeof self);
    self.userId = 42;
    std::memcpy(self.name, "me", 3);
    const unsigned char key[4] = {0xA1, 0xA2, 0xA3, 0xA4};
    std::memcpy(self.locationKey, key, 4);
    return self;
}

void check_room(palaver::RoomState& room, const palaver::test::RoomModel& model) {
    const stUserInfo own = own_record();
    check(std::memcmp(room.self.locationKey, own.locationKey, 4) == 0, "own location key changed");
    check(room.self.userId == own.userId, "own id changed");
    check(std::memchr(room.self.name, '\0', sizeof room.self.name) != nullptr,
          "own name has no NUL within bytes 4..78");
    check(std::memcmp(&room.self, &model.self, sizeof room.self) == 0, "own record differs");

    check(room.users.size() == model.users.size(), "user count differs");
    for (const stUserInfo& u : room.users) {
        check(u.userId != own.userId, "user set holds the own id");
        auto found = model.users.find(u.userId);
        check(found != model.users.end(), "user set holds an unexpected id");
        check(std::memcmp(&u, &found->second, sizeof u) == 0, "stored user record differs");
    }

    std::set<std::pair<std::int32_t, std::int32_t>> pairs;
    check(room.actions.size() == model.actions.size(), "action count differs");
    for (std::size_t i = 0; i < room.actions.size(); ++i) {
        const stActionContent& a = room.actions[i];
        check(pairs.insert({a.sender, a.target}).second, "two actions for one (sender, target)");
        const stActionContent& m = model.actions[i];
        check(a.sender == m.sender && a.target == m.target && a.action == m.action,
              "action list differs");
    }

    std::vector<stChatContent> lines = room.talk.snapshot();
    check(lines.size() == model.talk.size(), "talk queue length differs");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const stChatContent& l = lines[i];
        const palaver::test::ModelLine& m = model.talk[i];
        check(l.text.size() <= kMaxText, "queued text longer than a frame allows");
        check(l.text.find('\0') == std::string::npos, "queued text holds a NUL");
        check(l.sender == m.sender && l.target == m.target, "line sender or target differs");
        check(std::memcmp(l.locationKey, m.key, 4) == 0, "line location key differs");
        check(l.flag == m.flag, "line flag differs");
        check(l.text == m.text, "line text differs");
    }

    // The host's drain hands out the same lines and leaves the queue empty.
    std::vector<stChatContent> drained;
    room.talk.drain_into(drained);
    check(room.talk.empty(), "drain left lines behind");
    check(drained.size() == lines.size(), "drain count differs from the queue");
    for (std::size_t i = 0; i < drained.size(); ++i) {
        check(drained[i].text == lines[i].text && drained[i].sender == lines[i].sender,
              "drain differs from the queue");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::size_t cutCount = data[0] % 16;
    if (size < 1 + cutCount) {
        return 0;
    }
    const std::uint8_t* cuts = data + 1;
    const std::uint8_t* stream = data + 1 + cutCount;
    const std::size_t streamSize = size - 1 - cutCount;

    palaver::RoomState room;
    room.self = own_record();
    palaver::RoomUpdater updater(room);
    ClientFrameReader reader;

    std::size_t at = 0;
    std::size_t read = 0;
    bool broken = false;
    while (at < streamSize && !broken) {
        std::size_t room_left = reader.write_room();
        check(room_left > 0, "reader has no room although no frame is whole");
        std::size_t want = room_left;
        if (cutCount > 0) {
            std::size_t c = cuts[read++ % cutCount];
            want = 1 + c * c / 16;  // 1 to 4065, mostly small
        }
        std::size_t n = std::min({want, room_left, streamSize - at});
        std::memcpy(reader.write_position(), stream + at, n);
        reader.commit(n);
        at += n;
        palaver::Frame frame;
        FrameReader::Status status;
        while ((status = reader.next(frame)) == FrameReader::Status::Frame) {
            check(frame.size + 1 <= 500, "frame longer than the limit");
            updater.apply(frame);
        }
        updater.flush();
        broken = status == FrameReader::Status::Broken;
    }

    palaver::test::RoomModel model;
    model.self = own_record();
    std::size_t whole = model.run(stream, streamSize);
    if (!broken) {
        check(reader.buffered() == streamSize - whole,
              "reader holds other than the unfinished tail");
    }
    check_room(room, model);
    return 0;
}
