#include "module/winsock_startup.h"

#include "platform/socket.h"

namespace palaver {

CWinsockStartup::CWinsockStartup(unsigned char major, unsigned char minor)
    : started_(platform::network_startup(major, minor)) {}

CWinsockStartup::~CWinsockStartup() {
    if (started_) {
        platform::network_cleanup();
    }
}

}  // namespace palaver
