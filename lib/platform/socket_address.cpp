#include "lib/platform/socket_address.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netdb.h>
#endif

#include <algorithm>
#include <cstring>
#include <memory>

namespace palaver::platform {

int to_sockaddr(const Endpoint& endpoint, sockaddr_storage& to) {
    if (endpoint.family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&to);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = endpoint.port;
        std::memcpy(&in6->sin6_addr, endpoint.address, 16);
        in6->sin6_scope_id = endpoint.scope;
        return sizeof(sockaddr_in6);
    }
    auto* in = reinterpret_cast<sockaddr_in*>(&to);
    in->sin_family = AF_INET;
    in->sin_port = endpoint.port;
    std::memcpy(&in->sin_addr, endpoint.address, 4);
    return sizeof(sockaddr_in);
}

Endpoint ipv4_endpoint(std::uint32_t address, std::uint16_t port) {
    Endpoint e;
    e.family = AF_INET;
    e.port = htons(port);
    std::memcpy(e.address, &address, 4);
    return e;
}

namespace {

// The endpoint of one address the system found; false for another family.
bool endpoint_of(const addrinfo& found, std::uint16_t port, Endpoint& e) {
    e = Endpoint{};
    e.port = htons(port);
    if (found.ai_family == AF_INET) {
        e.family = AF_INET;
        std::memcpy(e.address, &reinterpret_cast<const sockaddr_in*>(found.ai_addr)->sin_addr, 4);
        return true;
    }
    if (found.ai_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(found.ai_addr);
        e.family = AF_INET6;
        std::memcpy(e.address, &in6->sin6_addr, 16);
        e.scope = in6->sin6_scope_id;
        return true;
    }
    return false;
}

bool same(const Endpoint& a, const Endpoint& b) {
    return a.family == b.family && a.scope == b.scope &&
           std::memcmp(a.address, b.address, sizeof a.address) == 0;
}

}  // namespace

bool resolve_any(const char* text, std::uint16_t port, Endpoint& endpoint) {
    std::vector<Endpoint> all = resolve_all(text, port);
    if (all.empty()) {
        return false;
    }
    endpoint = all.front();
    return true;
}

std::vector<Endpoint> resolve_all(const char* text, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<Endpoint> all;
    if (getaddrinfo(text, nullptr, &hints, &found) != 0) {
        return all;
    }
    // Freed however this ends: push_back may throw.
    auto release = [](addrinfo* list) { freeaddrinfo(list); };
    std::unique_ptr<addrinfo, decltype(release)> owned(found, release);
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        Endpoint e;
        if (endpoint_of(*at, port, e) &&
            std::none_of(all.begin(), all.end(), [&e](const Endpoint& o) { return same(o, e); })) {
            all.push_back(e);
        }
    }
    return all;
}

}  // namespace palaver::platform
