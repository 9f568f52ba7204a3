#include "server/command_line.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>

#include "server/net.h"

namespace palaver::server {
namespace {

std::chrono::milliseconds from_seconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

}  // namespace

bool parse_listen(const std::string& text, Settings& settings) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        return false;
    }
    asio::error_code ec;
    asio::ip::make_address(address, ec);
    if (ec) {
        return false;
    }
    settings.address = address;
    settings.port = static_cast<std::uint16_t>(std::stoul(port));
    return true;
}

std::optional<CommandLine> parse_command_line(int argc, char** argv, int& exitCode) {
    CommandLine result;
    Settings& s = result.settings;
    std::string listen = s.address + ":" + std::to_string(s.port);
    std::string accountsPath;
    std::string level = "info";
    double loginTimeout = s.loginTimeout.count() / 1000.0;
    double idleTimeout = s.idleTimeout.count() / 1000.0;

    CLI::App app{"palaver-server: the Palaver chat room server"};
    app.add_option("--listen", listen, "Address and port to listen on; port 0 picks a free one")
        ->capture_default_str();
    app.add_option("--accounts", accountsPath,
                   "Accounts file (lines: name login-string [admin]); without it anyone may "
                   "log in and nobody is admin");
    app.add_option("--max-clients", s.maxClients, "Most users logged in at once")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    app.add_option("--login-timeout", loginTimeout, "Seconds for a login request to arrive")
        ->capture_default_str()
        ->check(CLI::Range(0.01, 86400.0));
    app.add_option("--idle-timeout", idleTimeout, "Seconds without a message before a logout")
        ->capture_default_str()
        ->check(CLI::Range(0.01, 86400.0));
    app.add_option("--queue-limit", s.queueLimit,
                   "Bytes that may wait for one client before it is dropped as a slow reader")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{4096}, std::size_t{1} << 30));
    app.add_flag("--log-chat", s.logChat, "Log chat text (off: chat is never logged)");
    app.add_option("--log-level", level, "debug, info, warn or error")->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exitCode = app.exit(e);
        return std::nullopt;
    }
    auto parsedLevel = parse_level(level);
    std::string error;
    if (!parsedLevel) {
        error = "--log-level: expected debug, info, warn or error";
    } else if (!parse_listen(listen, s)) {
        error = "--listen: expected ADDR:PORT, e.g. 127.0.0.1:" + std::to_string(kDefaultPort);
    } else if (!accountsPath.empty()) {
        auto accounts = Accounts::load(accountsPath, error);
        if (accounts) {
            s.accounts = std::make_shared<const Accounts>(std::move(*accounts));
        } else {
            error = "--accounts: " + error;
        }
    }
    if (!error.empty()) {
        std::cerr << "palaver-server: " << error << "\n";
        exitCode = 2;
        return std::nullopt;
    }
    result.logLevel = *parsedLevel;
    s.loginTimeout = from_seconds(loginTimeout);
    s.idleTimeout = from_seconds(idleTimeout);
    return result;
}

}  // namespace palaver::server
