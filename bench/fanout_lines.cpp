#include "fanout_lines.h"

#include <cstdio>

namespace palaver::bench {

void format_line(std::uint64_t number, char (&text)[kTextSize + 1]) {
    std::snprintf(text, sizeof text, "%010llu%030d", static_cast<unsigned long long>(number), 0);
}

std::uint64_t line_number(const char* text, std::size_t length) {
    if (length != kTextSize) {
        return kNotALine;
    }
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < kNumberDigits; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return kNotALine;
        }
        number = number * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return number;
}

}  // namespace palaver::bench
