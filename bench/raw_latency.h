// The one-line latency of two raw clients on one thread: what the server and
// loopback cost a line, with no client library and no thread hand-off.
#ifndef PALAVER_BENCH_RAW_LATENCY_H
#define PALAVER_BENCH_RAW_LATENCY_H

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol/frame_reader.h"

namespace palaver::bench {

// A raw member of room 42, written and read from one thread, with blocking
// calls.
class RawMember {
  public:
    RawMember(asio::io_context& io, std::uint16_t port, const std::string& name);
    std::int32_t id() const { return id_; }
    // Writes line `number` as one message.
    void send_line(std::uint64_t number);
    // Reads until the next line and returns its sender and number; other
    // messages (the arrival of a member that logged in later) are passed
    // over. Throws when nothing comes for `stallLimit`.
    std::pair<std::int32_t, std::uint64_t> next_line(std::chrono::seconds stallLimit);
    // For a loop that waits on many members: the socket, and one read of what
    // it holds (it must be readable), appending every whole line that came.
    int native_handle() { return socket_.native_handle(); }
    void read_lines(std::vector<std::pair<std::int32_t, std::uint64_t>>& lines);

  private:
    // The next whole line already read, if any; other messages are passed over.
    bool buffered_line(std::pair<std::int32_t, std::uint64_t>& line);

    asio::ip::tcp::socket socket_;
    std::int32_t id_ = 0;
    FrameReader reader_;
};

// Throws unless `got` is line `number` of `sender`.
void expect_line(std::pair<std::int32_t, std::uint64_t> got, std::int32_t sender,
                 std::uint64_t number);

// Two raw clients take turns to send one line, `lines` in all; each sample is
// the time in microseconds from the start of the write to the end of the read
// that brought the line to the other. Sorted. Throws when a read waits longer
// than `stallLimit` or a line arrives out of order.
std::vector<double> raw_one_line_latency(std::uint16_t port, std::size_t lines,
                                         std::chrono::seconds stallLimit);

}  // namespace palaver::bench

#endif
