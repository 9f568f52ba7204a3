// A C++ host built with clang++ and libc++, on the header-only layer
// (palaver.hpp) over a libPalaver.so built with libstdc++: its strings and
// vectors never cross into the library. Two clients log in to one room on the
// server in PALAVER_PORT; one talks, the other reads the line and the room;
// both log out. Exit status 0 when everything held.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "palaver.hpp"

namespace {

int failures = 0;

void expect(bool held, const char* what) {
    std::printf("%s %s\n", held ? "ok  " : "FAIL", what);
    failures += held ? 0 : 1;
}

stUserInfo user(const char* name, unsigned char room) {
    stUserInfo u{};
    std::strncpy(u.name, name, 30);
    u.locationKey[0] = room;
    return u;
}

// The first line from `sender`, waiting 20 s at most.
std::string line_from(palaver::Client& client, std::int32_t sender) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        client.wait(std::chrono::milliseconds(500));
        for (const palaver::ChatLine& line : client.talk()) {
            if (line.sender == sender) {
                return line.text;
            }
        }
    }
    return "(nothing heard)";
}

}  // namespace

int main() {
    const char* port = std::getenv("PALAVER_PORT");
    if (port == nullptr) {
        std::fprintf(stderr, "PALAVER_PORT is not set\n");
        return 2;
    }
    palaver::Client alice, bob;
    stUserInfo a = user("alice", 3), b = user("bob", 3);
    expect(alice.set_server("127.0.0.1", std::atoi(port)) &&
               bob.set_server("127.0.0.1", std::atoi(port)),
           "server address set");
    expect(alice.login(a) == 1 && bob.login(b, std::string()) == 1, "both logged in");

    const std::string hello(300, 'x');  // the longest line a host may send
    expect(alice.send_talk(-1, hello), "alice talks");
    expect(line_from(bob, a.userId) == hello, "bob hears alice's whole line");

    std::vector<stUserInfo> room;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((room = bob.users()).empty() && std::chrono::steady_clock::now() < until) {
        bob.wait(std::chrono::milliseconds(500));
    }
    expect(room.size() == 1 && room[0].userId == a.userId && std::string(room[0].name) == "alice",
           "bob's room holds alice");
    expect(std::string(bob.self().name) == "bob", "bob's own record");

    alice.logout();
    bob.logout();
    expect(!alice.connected() && !bob.connected(), "both logged out");
    std::printf("%s\n", failures == 0 ? "all held" : "some failed");
    return failures == 0 ? 0 : 1;
}
