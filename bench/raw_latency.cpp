#include "raw_latency.h"

#include <poll.h>

#include <algorithm>
#include <asio.hpp>
#include <stdexcept>
#include <string>

#include "fanout_lines.h"
#include "protocol/client_messages.h"
#include "protocol/frame_reader.h"
#include "raw_fanout.h"

namespace palaver::bench {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Member {
    explicit Member(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    std::int32_t id = 0;
    FrameReader reader;
};

// Reads until the next Talk and returns its sender and line number; other
// messages (the arrival of the member that logged in later) are passed over.
std::pair<std::int32_t, std::uint64_t> next_line(Member& m, std::chrono::seconds stallLimit) {
    for (;;) {
        Frame f;
        FrameReader::Status status = m.reader.next(f);
        if (status == FrameReader::Status::Broken) {
            throw std::runtime_error("a broken stream");
        }
        if (status == FrameReader::Status::Frame) {
            if (f.type != static_cast<std::uint8_t>(ClientType::Talk)) {
                continue;
            }
            auto t = decode_talk(f);
            if (!t) {
                throw std::runtime_error("a broken line");
            }
            return {t->sender, line_number(t->text, t->textLength)};
        }
        pollfd ready{m.socket.native_handle(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(stallLimit.count() * 1000)) != 1) {
            throw std::runtime_error("no line for " + std::to_string(stallLimit.count()) + " s");
        }
        std::size_t n =
            m.socket.read_some(asio::buffer(m.reader.write_position(), m.reader.write_room()));
        m.reader.commit(n);
    }
}

void expect(std::pair<std::int32_t, std::uint64_t> got, std::int32_t sender, std::uint64_t number) {
    if (got.first != sender || got.second != number) {
        throw std::runtime_error("line " + std::to_string(got.second) + " of " +
                                 std::to_string(got.first) + " arrived where line " +
                                 std::to_string(number) + " of " + std::to_string(sender) +
                                 " was due");
    }
}

}  // namespace

std::vector<double> raw_one_line_latency(std::uint16_t port, std::size_t lines,
                                         std::chrono::seconds stallLimit) {
    asio::io_context io;
    Member members[2] = {Member(io), Member(io)};
    for (int i = 0; i < 2; ++i) {
        members[i].id = raw_login(members[i].socket, port, "raw" + std::to_string(i), 42).userId;
    }
    std::vector<double> samples;
    samples.reserve(lines);
    std::uint8_t message[kTalkFixedSize + kTextSize];
    char text[kTextSize + 1];
    for (std::size_t k = 0; k < lines; ++k) {
        Member& from = members[k % 2];
        Member& to = members[1 - k % 2];
        format_line(k / 2, text);
        std::size_t size =
            encode_talk(message, from.id, 0, LocationKey{42, 0, 0, 0}, false, text, kTextSize);
        auto start = Clock::now();
        asio::write(from.socket, asio::buffer(message, size));
        expect(next_line(to, stallLimit), from.id, k / 2);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        expect(next_line(from, stallLimit), from.id, k / 2);  // the echo
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

}  // namespace palaver::bench
