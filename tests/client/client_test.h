// The fixture of the library's tests: the exported functions against a fake
// server. The library keeps one process-wide state, so every test starts by
// ending whatever connection an earlier one left and draining the stores.
#ifndef PALAVER_TESTS_CLIENT_CLIENT_TEST_H
#define PALAVER_TESTS_CLIENT_CLIENT_TEST_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Palaver.h"
#include "fake_server.h"
#include "messages.h"

namespace palaver::test {

// The host's record before Login, and the one the server gives back.
stUserInfo host_user();
stUserInfo self_user();
constexpr std::int32_t kSelfId = 100;
constexpr Key kSelfKey = {0x11, 0x22, 0x33, 0x44};

std::vector<std::int32_t> ids_of(const std::set<stUserInfo>& users);
// The record with `id` in `users`, as bytes; empty when there is none.
Bytes record_of(const std::set<stUserInfo>& users, std::int32_t id);

class ClientTest : public ::testing::Test {
  protected:
    using Script = std::function<void(FakeServer&)>;

    void SetUp() override;
    void TearDown() override;

    // Runs Login on a thread of its own while `script` plays the server on
    // the accepted connection; returns Login's result.
    int login_with(stUserInfo& user, const std::string& login, const Script& script);
    // Checks the request and answers `reply`.
    int login_replying(const Bytes& reply, stUserInfo& user);
    // A login the server accepts: `self` is the own record, `others` the room.
    void log_in(const std::vector<stUserInfo>& others = {}, const stUserInfo& self = self_user());

    // A marker line through the stream: once it is delivered, everything the
    // server sent before it has been handled. Returns the lines and notices
    // that came before it.
    std::vector<stChatContent> sync();
    std::set<stUserInfo> users();
    std::vector<stActionContent> actions();

    FakeServer server;
};

}  // namespace palaver::test

#endif
