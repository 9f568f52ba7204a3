// How long a test waits for what happens at once unless something is broken:
// generous, so that a loaded machine or a sanitizer build still passes.
#ifndef PALAVER_TESTS_SUPPORT_DEADLINE_H
#define PALAVER_TESTS_SUPPORT_DEADLINE_H

#include <chrono>
#include <thread>

namespace palaver::test {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

constexpr Ms kDeadline = 5s;

// Polls `condition` until it holds or the time is up.
template <class Condition>
bool eventually(Condition&& condition, Ms timeout = kDeadline) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace palaver::test

#endif
