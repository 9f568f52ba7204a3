#include "proc_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace palaver::test {
namespace {

std::string proc(pid_t pid, const char* what) {
    return "/proc/" + std::to_string(pid) + "/" + what;
}

}  // namespace

std::size_t directory_entries(const std::string& path) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                ++n;
            }
        }
        ::closedir(d);
    }
    return n;
}

// Both counts of this process include the directory stream opened to count them.
std::size_t open_descriptors() {
    return directory_entries("/proc/self/fd");
}

std::size_t running_threads() {
    return directory_entries("/proc/self/task");
}

std::size_t open_descriptors_of(pid_t pid) {
    return directory_entries(proc(pid, "fd"));
}

std::size_t threads_of(pid_t pid) {
    return directory_entries(proc(pid, "task"));
}

double cpu_seconds_of(pid_t pid) {
    std::ifstream stat(proc(pid, "stat"));
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) {
        fields >> skip;  // state .. cmajflt
    }
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Memory memory_of(pid_t pid) {
    std::ifstream status(proc(pid, "status"));
    std::string key;
    Memory m;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> m.residentKib;
        } else if (key == "VmHWM:") {
            status >> m.peakResidentKib;
        }
    }
    return m;
}

}  // namespace palaver::test
