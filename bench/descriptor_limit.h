// Many connections in one benchmark process need more descriptors than the
// usual soft limit of 1024.
#ifndef PALAVER_BENCH_DESCRIPTOR_LIMIT_H
#define PALAVER_BENCH_DESCRIPTOR_LIMIT_H

#include <sys/resource.h>

namespace palaver::bench {

// Raises the soft limit on open descriptors to the hard limit.
inline void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace palaver::bench

#endif
