// palaver-chat: a terminal host for a Palaver chat room. Full-screen on a
// terminal, plain lines when standard input is a pipe.
#include <unistd.h>

#include <langinfo.h>
#include <CLI/CLI.hpp>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "codepage.h"
#include "line_mode.h"
#include "screen_mode.h"
#include "session.h"

namespace {

// "host:port" with a port of 1..65535; the last colon separates them.
bool split_server(const std::string& server, std::string& host, int& port) {
    const std::size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    host = server.substr(0, colon);
    try {
        std::size_t used = 0;
        port = std::stoi(server.substr(colon + 1), &used);
        return used == server.size() - colon - 1 && port > 0 && port < 65536;
    } catch (const std::exception&) {
        return false;
    }
}

// ncurses draws wide characters only under a UTF-8 locale; a bare "C"
// environment gets C.UTF-8, since the terminal side is UTF-8 either way.
void use_utf8_locale() {
    std::setlocale(LC_ALL, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"palaver-chat: talk in a Palaver chat room. Text on the terminal is UTF-8."};
    std::string server = "127.0.0.1:7400";
    std::string codepage = "GBK";
    bool line_mode = false;
    palaver::chat::SessionOptions options;
    const char* user = std::getenv("USER");
    options.name = user && *user ? user : "guest";
    app.add_option("--server", server, "Chat server as HOST:PORT")->capture_default_str();
    app.add_option("--name", options.name, "Your name (at most 30 bytes in the code page)")
        ->capture_default_str();
    app.add_option("--login", options.login, "Login string (at most 20 bytes)");
    app.add_option("--room", options.room, "Room number, sent as the little-endian location key")
        ->capture_default_str();
    app.add_option("--codepage", codepage, "Code page of the text on the wire (iconv name)")
        ->capture_default_str();
    app.add_flag("--lines", line_mode, "Plain line mode even on a terminal");
    app.add_flag("--tls", options.tls,
                 "TLS to the server; its certificate must be trusted and name HOST");
    app.add_option("--ca", options.caFile,
                   "PEM file of the authorities to trust for --tls, instead of the system's")
        ->check(CLI::ExistingFile);
    CLI11_PARSE(app, argc, argv);

    if (!options.caFile.empty() && !options.tls) {
        std::fprintf(stderr, "palaver-chat: --ca is for --tls\n");
        return 1;
    }
    if (!split_server(server, options.host, options.port)) {
        std::fprintf(stderr, "palaver-chat: --server wants HOST:PORT, not '%s'\n", server.c_str());
        return 1;
    }
    use_utf8_locale();
    try {
        palaver::chat::Codepage cp(codepage);
        palaver::chat::Session session(options, cp);
        if (line_mode || !isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
            return palaver::chat::run_line_mode(session);
        }
        return palaver::chat::run_screen_mode(session);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "palaver-chat: %s\n", e.what());
        return 1;
    }
}
