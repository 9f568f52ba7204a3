// A second, deliberately plain reading of a server byte stream: one linear
// walk over all the bytes with no buffer, no cuts and no batching, applying
// each message straight to a copy of the room. The receive fuzzer and the
// fault tests compare the library's room against it, so a fault in the
// framing, the staging of chat lines or a handler shows up as a difference.
#ifndef PALAVER_TESTS_SUPPORT_ROOM_MODEL_H
#define PALAVER_TESTS_SUPPORT_ROOM_MODEL_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Palaver.h"

namespace palaver::test {

struct ModelLine {
    std::int32_t sender;
    std::int32_t target;
    unsigned char key[4];
    bool flag;
    std::string text;
};

struct RoomModel {
    stUserInfo self{};
    std::map<std::int32_t, stUserInfo> users;
    std::vector<ModelLine> talk;
    std::vector<stActionContent> actions;

    // Applies every whole message of `stream` up to the first length above
    // 500; returns how many bytes were taken by whole messages.
    std::size_t run(const std::uint8_t* stream, std::size_t size);
};

}  // namespace palaver::test

#endif
