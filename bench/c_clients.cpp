#include "c_clients.h"

#include <stdexcept>

#include "PalaverProfile.h"

namespace palaver::bench {

std::string last_error_text(const char* what) {
    return std::string(what) + ": " + palaver_error_text(palaver_last_error());
}

LoggedIn log_in(std::uint16_t port, const std::string& name, std::uint32_t room, ClientKind kind) {
    LoggedIn in{ClientHandle(kind == ClientKind::Threaded ? palaver_client_new()
                                                          : palaver_client_new_host_driven()),
                0};
    if (!in.client) {
        throw std::runtime_error("palaver_client_new gave no client");
    }
    if (palaver_set_server(in.client.get(), "127.0.0.1", port) != 1) {
        throw std::runtime_error(last_error_text("palaver_set_server"));
    }
    stUserInfo user{};
    profile::set_name(user, name);
    profile::set_room(user, room);
    int status = palaver_login(in.client.get(), &user, "");
    if (status != 1) {
        throw std::runtime_error(last_error_text("palaver_login") + " (" + std::to_string(status) +
                                 ")");
    }
    in.id = user.userId;
    return in;
}

}  // namespace palaver::bench
