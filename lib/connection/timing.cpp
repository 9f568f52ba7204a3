#include "lib/connection/timing.h"

namespace palaver {

Timing& timing() {
    static Timing instance;
    return instance;
}

}  // namespace palaver
