#include "c_scale.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "c_clients.h"

namespace palaver::bench {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Takes every line and notice waiting for `client`.
void drain(palaver_client* client) {
    std::vector<palaver_chat_line> lines(64);
    std::size_t written = 0;
    while (palaver_get_talk(client, lines.data(), lines.size(), &written) > 0) {
    }
}

// Waits until `client` knows the other members of a room of `members`.
void await_room(palaver_client* client, std::size_t members) {
    std::vector<stUserInfo> users(members);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        std::size_t written = 0;
        if (palaver_get_users(client, users.data(), users.size(), &written) < 0) {
            throw std::runtime_error(last_error_text("palaver_get_users"));
        }
        if (written + 1 == members) {
            return;
        }
        if (Clock::now() > deadline) {
            throw std::runtime_error("a client did not learn its room within 30 s");
        }
        palaver_wait(client, 100);
    }
}

}  // namespace

ProcessFigures this_process() {
    std::ifstream status("/proc/self/status");
    ProcessFigures f;
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> f.residentKiB;
        } else if (key == "VmHWM:") {
            status >> f.peakResidentKiB;
        } else if (key == "Threads:") {
            status >> f.threads;
        }
    }
    return f;
}

ScaleFigures c_scale(std::uint16_t port, std::size_t count, std::size_t roomSize) {
    ScaleFigures figures;
    figures.before = this_process();
    std::vector<LoggedIn> clients;
    clients.reserve(count);
    auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        clients.push_back(
            log_in(port, "s" + std::to_string(i), static_cast<std::uint32_t>(i / roomSize)));
    }
    figures.loginSeconds = seconds_since(start);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t first = i / roomSize * roomSize;
        await_room(clients[i].client.get(), std::min(count, first + roomSize) - first);
    }
    figures.loggedIn = this_process();
    for (const auto& c : clients) {
        drain(c.client.get());
    }
    figures.drained = this_process();
    start = Clock::now();
    clients.clear();
    figures.freeSeconds = seconds_since(start);
    return figures;
}

}  // namespace palaver::bench
