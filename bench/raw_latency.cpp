#include "raw_latency.h"

#include <poll.h>

#include <algorithm>
#include <stdexcept>

#include "fanout_lines.h"
#include "protocol/client_messages.h"
#include "raw_fanout.h"

namespace palaver::bench {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

RawMember::RawMember(asio::io_context& io, std::uint16_t port, const std::string& name)
    : socket_(io) {
    id_ = raw_login(socket_, port, name, 42).userId;
}

void RawMember::send_line(std::uint64_t number) {
    std::uint8_t message[kTalkFixedSize + kTextSize];
    char text[kTextSize + 1];
    format_line(number, text);
    std::size_t size =
        encode_talk(message, id_, 0, LocationKey{42, 0, 0, 0}, false, text, kTextSize);
    asio::write(socket_, asio::buffer(message, size));
}

bool RawMember::buffered_line(std::pair<std::int32_t, std::uint64_t>& line) {
    for (;;) {
        Frame f;
        FrameReader::Status status = reader_.next(f);
        if (status == FrameReader::Status::Broken) {
            throw std::runtime_error("a broken stream");
        }
        if (status != FrameReader::Status::Frame) {
            return false;
        }
        if (f.type != static_cast<std::uint8_t>(ClientType::Talk)) {
            continue;
        }
        auto t = decode_talk(f);
        if (!t) {
            throw std::runtime_error("a broken line");
        }
        line = {t->sender, line_number(t->text, t->textLength)};
        return true;
    }
}

std::pair<std::int32_t, std::uint64_t> RawMember::next_line(std::chrono::seconds stallLimit) {
    std::pair<std::int32_t, std::uint64_t> line;
    while (!buffered_line(line)) {
        pollfd ready{socket_.native_handle(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(stallLimit.count() * 1000)) != 1) {
            throw std::runtime_error("no line for " + std::to_string(stallLimit.count()) + " s");
        }
        reader_.commit(
            socket_.read_some(asio::buffer(reader_.write_position(), reader_.write_room())));
    }
    return line;
}

void RawMember::read_lines(std::vector<std::pair<std::int32_t, std::uint64_t>>& lines) {
    reader_.commit(socket_.read_some(asio::buffer(reader_.write_position(), reader_.write_room())));
    std::pair<std::int32_t, std::uint64_t> line;
    while (buffered_line(line)) {
        lines.push_back(line);
    }
}

void expect_line(std::pair<std::int32_t, std::uint64_t> got, std::int32_t sender,
                 std::uint64_t number) {
    if (got.first != sender || got.second != number) {
        throw std::runtime_error("line " + std::to_string(got.second) + " of " +
                                 std::to_string(got.first) + " arrived where line " +
                                 std::to_string(number) + " of " + std::to_string(sender) +
                                 " was due");
    }
}

std::vector<double> raw_one_line_latency(std::uint16_t port, std::size_t lines,
                                         std::chrono::seconds stallLimit) {
    asio::io_context io;
    RawMember members[2] = {RawMember(io, port, "raw0"), RawMember(io, port, "raw1")};
    std::vector<double> samples;
    samples.reserve(lines);
    for (std::size_t k = 0; k < lines; ++k) {
        RawMember& from = members[k % 2];
        RawMember& to = members[1 - k % 2];
        auto start = Clock::now();
        from.send_line(k / 2);
        expect_line(to.next_line(stallLimit), from.id(), k / 2);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        expect_line(from.next_line(stallLimit), from.id(), k / 2);  // the echo
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

}  // namespace palaver::bench
