#include "lib/client/error.h"
#include "lib/connection/lifecycle.h"

namespace palaver {

int set_server_address(ClientState& state, const char* address, int port) {
    if (address == nullptr) {
        return 0;
    }
    // 255.255.255.255 converts to the failure value too, so it is looked up
    // like a name.
    std::uint32_t ipv4 = platform::parse_dotted(address);
    if (ipv4 == platform::kAddressNone && !platform::resolve_ipv4(address, ipv4)) {
        // Stored all the same: a Login before the next good address fails.
        state.server.store(
            {platform::ipv4_endpoint(platform::kAddressNone, static_cast<std::uint16_t>(port)),
             address, false});
        platform::set_last_error(platform::invalid_argument_code());
        return 0;
    }
    state.server.store(
        {platform::ipv4_endpoint(ipv4, static_cast<std::uint16_t>(port)), address, false});
    return 1;
}

int set_server_any(ClientState& state, const char* address, int port) {
    if (address == nullptr || port < 1 || port > 65535) {
        set_error(PALAVER_E_INVALID);
        return 0;
    }
    platform::Endpoint endpoint;
    if (!platform::resolve_any(address, static_cast<std::uint16_t>(port), endpoint)) {
        set_error(PALAVER_E_RESOLVE);
        return 0;
    }
    // Checked now, so that a name that does not resolve is refused at once;
    // looked up again at each Login, so that a moved server is found.
    state.server.store({endpoint, address, true});
    return 1;
}

}  // namespace palaver
