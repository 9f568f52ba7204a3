#include "client/error.h"

namespace palaver {
namespace {

thread_local int t_error = PALAVER_OK;

}  // namespace

void set_error(int code) {
    t_error = code;
}

int last_error_code() {
    return t_error;
}

}  // namespace palaver
