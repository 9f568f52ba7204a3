// The command line of palaver-server.
#ifndef PALAVER_SERVER_COMMAND_LINE_H
#define PALAVER_SERVER_COMMAND_LINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/log.h"
#include "server/settings.h"

namespace palaver::server {

struct CommandLine {
    Settings settings;
    Level logLevel = Level::Info;
    // What the operator should hear at start (e.g. about the bus credentials).
    std::vector<std::string> warnings;
};

// "ADDR:PORT" with an IPv4 address, or "[ADDR]:PORT" with an IPv6 one.
bool parse_endpoint(const std::string& text, std::string& address, std::uint16_t& port);
// The same into the plain listener's address and port.
bool parse_listen(const std::string& text, Settings& settings);

// Nothing when the program should end: `exitCode` then holds its status
// (0 after --help) and the message has been printed.
std::optional<CommandLine> parse_command_line(int argc, char** argv, int& exitCode);

}  // namespace palaver::server

#endif
