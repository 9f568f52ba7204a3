// The chat lines of the fan-out benchmarks: 40 bytes, the sender's sequence
// number in ten digits followed by zeros, so a receiver can check order.
#ifndef PALAVER_BENCH_FANOUT_LINES_H
#define PALAVER_BENCH_FANOUT_LINES_H

#include <cstddef>
#include <cstdint>

namespace palaver::bench {

constexpr std::size_t kWindow = 256;  // lines a sender may have ahead of its readers
constexpr std::size_t kTextSize = 40;
constexpr std::size_t kNumberDigits = 10;
constexpr std::uint64_t kNotALine = UINT64_MAX;

// Writes line `number`'s text and its NUL into `text`.
void format_line(std::uint64_t number, char (&text)[kTextSize + 1]);
// The number of a line of kTextSize bytes, or kNotALine when `text` is not one.
std::uint64_t line_number(const char* text, std::size_t length);

}  // namespace palaver::bench

#endif
