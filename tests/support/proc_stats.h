// What a process holds and has used, read from /proc: the leak checks count
// descriptors and threads, the benchmarks report CPU time and memory.
#ifndef PALAVER_TESTS_SUPPORT_PROC_STATS_H
#define PALAVER_TESTS_SUPPORT_PROC_STATS_H

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace palaver::test {

// Entries of a /proc directory such as /proc/<pid>/fd.
std::size_t directory_entries(const std::string& path);
// This process's open descriptors and threads, now.
std::size_t open_descriptors();
std::size_t running_threads();
// Another process's open descriptors and threads.
std::size_t open_descriptors_of(pid_t pid);
std::size_t threads_of(pid_t pid);

// User and system CPU time a process has used so far.
double cpu_seconds_of(pid_t pid);

struct Memory {
    long residentKib = 0;
    long peakResidentKib = 0;
};
Memory memory_of(pid_t pid);

}  // namespace palaver::test

#endif
