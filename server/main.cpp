// palaver-server: serves Palaver clients until SIGTERM (which drains) or
// SIGINT, and reads its accounts and bans files again on SIGHUP.
// "palaver-server hash" makes an accounts entry, "palaver-server ctl ..."
// talks to a running server.
#include <sys/resource.h>

#include <iostream>
#include <string>

#include "protocol/client_messages.h"
#include "server/command_line.h"
#include "server/control_client.h"
#include "server/login_secret.h"
#include "server/server.h"
#include "server/signals.h"

namespace {

// Every connection is a descriptor: let the process have enough of them for
// every user and every connection still logging in, when the hard limit
// allows.
void raise_descriptor_limit(const palaver::server::Settings& s, palaver::server::Log& log) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    rlim_t wanted = static_cast<rlim_t>(s.maxClients + s.maxLoggingIn) + 50;  // listeners, files
    if (limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted) {
        log.warn("only ", limit.rlim_cur, " file descriptors: fewer clients than --max-clients ",
                 "can connect");
    }
}

// "palaver-server hash": reads a login string from standard input (one line)
// and prints what the accounts file holds for it, so that the file never
// needs the string itself.
int print_hash() {
    std::string login;
    std::getline(std::cin, login);
    if (!login.empty() && login.back() == '\r') {
        login.pop_back();
    }
    if (login.size() > palaver::kLoginStringField) {
        std::cerr << "palaver-server hash: a login string has at most "
                  << palaver::kLoginStringField << " bytes\n";
        return 1;
    }
    auto entry = palaver::server::LoginSecret::hash(login);
    if (!entry) {
        std::cerr << "palaver-server hash: libsodium could not make the hash\n";
        return 1;
    }
    std::cout << *entry << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace palaver::server;
    if (argc == 2 && std::string(argv[1]) == "hash") {
        return print_hash();
    }
    if (argc >= 2 && std::string(argv[1]) == "ctl") {
        return run_control_client(argc - 2, argv + 2);
    }
    int exitCode = 0;
    auto commandLine = parse_command_line(argc, argv, exitCode);
    if (!commandLine) {
        return exitCode;
    }
    Log log(commandLine->logLevel);
    if (const auto& accounts = commandLine->settings.accounts) {
        for (const std::string& warning : accounts->warnings()) {
            log.warn(warning);
        }
    }
    for (const std::string& warning : commandLine->warnings) {
        log.warn(warning);
    }
    raise_descriptor_limit(commandLine->settings, log);
    try {
        Server server(commandLine->settings, log);
        Signals signals(server, log);
        // Scripts and tests read the ports from here when they asked for port 0.
        const char* room = commandLine->settings.accounts ? ", accounts required" : ", open room";
        if (commandLine->settings.plain) {
            std::cout << "palaver-server listening on " << server.endpoint() << std::endl;
            log.info("listening on ", server.endpoint(), room);
        }
        if (commandLine->settings.tls) {
            std::cout << "palaver-server listening for TLS on " << server.tls_endpoint()
                      << std::endl;
            log.info("listening for TLS on ", server.tls_endpoint(), room);
        }
        if (commandLine->settings.metrics) {
            std::cout << "palaver-server metrics on " << server.metrics_endpoint() << std::endl;
            log.info("metrics on http://", server.metrics_endpoint(), "/metrics");
        }
        server.run();
    } catch (const std::exception& e) {
        log.error(e.what());
        return 1;
    }
    log.info("stopped");
    return 0;
}
