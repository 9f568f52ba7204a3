#include "lib/platform/process_exit.h"

#include <atomic>

namespace palaver::platform {
namespace {

std::atomic<bool> g_exiting{false};

}  // namespace

void note_process_exit() {
    g_exiting.store(true);
}

bool process_exiting() {
    return g_exiting.load();
}

}  // namespace palaver::platform
