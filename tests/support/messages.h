// Server messages and login replies for scripting the fake server, built with
// the protocol's own encoders where they exist. Talks are laid out by hand:
// the scripts need flag bytes and texts that the encoder never makes.
#ifndef PALAVER_TESTS_SUPPORT_MESSAGES_H
#define PALAVER_TESTS_SUPPORT_MESSAGES_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Palaver.h"
#include "bytes.h"

namespace palaver::test {

using Key = std::array<std::uint8_t, 4>;

// A record with the given id, name and location key; the profile bytes after
// the name's NUL are filled with `profile` so that whole-record copies show.
stUserInfo user(std::int32_t id, const std::string& name, Key key = {1, 2, 3, 4},
                std::uint8_t profile = 0);
std::string name_of(const stUserInfo& user);
Bytes bytes_of(const stUserInfo& user);

// What Login must send for `user` and `login`.
Bytes login_request(const stUserInfo& user, const std::string& login);
Bytes login_reply(std::int32_t status, const std::vector<std::vector<stUserInfo>>& groups = {});

Bytes user_entered(const stUserInfo& user);
Bytes users_left(const std::vector<std::int32_t>& ids);
Bytes users_updated(const std::vector<stUserInfo>& users);
Bytes room_list(const std::vector<stUserInfo>& users);
// A Talk from the server: `text` is sent as given, then `terminator` (pass
// false for a text that runs to the end of its message).
Bytes talk(std::int32_t sender, std::int32_t target, const std::string& text, std::uint8_t flag = 0,
           Key key = {9, 8, 7, 6}, bool terminator = true);

// The library's notice texts as GBK bytes.
std::string arrival(const std::string& name);
std::string departure(const std::string& name);
std::string renamed(const std::string& before, const std::string& after);

}  // namespace palaver::test

#endif
