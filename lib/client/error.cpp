#include "lib/client/error.h"

#include <cstdio>

namespace palaver {
namespace {

thread_local int t_error = PALAVER_OK;
// A fixed buffer: nothing to allocate or destroy per thread.
thread_local char t_detail[256] = "";

}  // namespace

void set_error(int code) {
    t_error = code;
    if (code == PALAVER_OK) {
        t_detail[0] = '\0';  // every call starts so: no stale detail
    }
}

void set_error_detail(const char* text) {
    std::snprintf(t_detail, sizeof t_detail, "%s", text);
}

const char* last_error_detail() {
    return t_detail;
}

int last_error_code() {
    return t_error;
}

}  // namespace palaver
