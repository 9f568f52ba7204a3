#include "connection/session.h"

namespace palaver {

int set_server_address(ClientState& state, const char* address, int port) {
    if (address == nullptr) {
        return 0;
    }
    platform::Ipv4Endpoint endpoint;
    endpoint.family = platform::family_inet();
    endpoint.port = platform::host_to_network(static_cast<std::uint16_t>(port));
    endpoint.address = platform::parse_dotted(address);
    // 255.255.255.255 converts to the failure value too, so it is looked up
    // like a name.
    if (endpoint.address == platform::kAddressNone) {
        std::uint32_t resolved = 0;
        if (!platform::resolve_ipv4(address, resolved)) {
            state.server.store(endpoint);
            platform::set_last_error(platform::invalid_argument_code());
            return 0;
        }
        endpoint.address = resolved;
    }
    state.server.store(endpoint);
    return 1;
}

}  // namespace palaver
