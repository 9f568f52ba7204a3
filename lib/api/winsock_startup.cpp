#include "lib/api/winsock_startup.h"

#include "lib/platform/socket.h"

namespace palaver {

CWinsockStartup::CWinsockStartup(unsigned char major, unsigned char minor)
    : started_(platform::network_startup(major, minor)) {}

CWinsockStartup::~CWinsockStartup() {
    if (started_) {
        platform::network_cleanup();
    }
}

}  // namespace palaver
