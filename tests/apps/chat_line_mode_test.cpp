// palaver-chat in line mode against a real palaver-server: two chat clients
// talk, whisper and rename, and this test process, a third host on the
// library, checks that what travels on the wire is GBK.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Palaver.h"
#include "PalaverProfile.h"
#include "child_process.h"

namespace palaver::test {
namespace {

using namespace std::chrono_literals;

// The same texts in UTF-8 (the terminal) and GBK (the wire).
const std::string kLiLei = "李雷";
const std::string kLiLeiGbk = "\xC0\xEE\xC0\xD7";
const std::string kWang = "王小明";
const std::string kWangGbk = "\xCD\xF5\xD0\xA1\xC3\xF7";
const std::string kSecret = "秘密";
const std::string kHello = "你好";
const std::string kHelloGbk = "\xC4\xE3\xBA\xC3";

class ChatLineMode : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{PALAVER_SERVER_BIN, "--listen", "127.0.0.1:0"});
        ASSERT_TRUE(server_->wait_for("palaver-server listening on")) << server_->transcript();
        const std::string line = server_->line_with("listening on");
        port_ = line.substr(line.rfind(':') + 1);
    }

    void TearDown() override { chatComunicate::Logout(); }

    std::unique_ptr<ChildProcess> chat(const std::string& name) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            PALAVER_CHAT_BIN, "--server", "127.0.0.1:" + port_, "--name", name, "--room", "7"});
    }

    // The id in a "[status] logged in as NAME#ID in room" line.
    static std::string id_of(ChildProcess& chat) {
        const std::string line = chat.line_with("[status] logged in as");
        const std::size_t hash = line.find('#');
        return line.substr(hash + 1, line.find(' ', hash) - hash - 1);
    }

    // Chat lines the observer (this process) received, waiting up to 5 s for `count`.
    static std::vector<stChatContent> observed_talk(std::size_t count) {
        std::vector<stChatContent> lines;
        for (int i = 0; i < 100 && lines.size() < count; ++i) {
            chatComunicate::GetTalk(lines);
            std::this_thread::sleep_for(50ms);
        }
        return lines;
    }

    std::unique_ptr<ChildProcess> server_;
    std::string port_;
};

TEST_F(ChatLineMode, TwoClientsTalkWhisperAndRenameInGbk) {
    auto li = chat(kLiLei);
    ASSERT_TRUE(li->wait_for("[status] logged in as " + kLiLei + "#")) << li->transcript();
    auto bob = chat("bob");
    ASSERT_TRUE(bob->wait_for("[status] logged in as bob#")) << bob->transcript();
    const std::string li_id = id_of(*li);
    const std::string bob_id = id_of(*bob);
    const std::string li_label = kLiLei + "#" + li_id;
    const std::string bob_label = "bob#" + bob_id;
    EXPECT_TRUE(bob->wait_for("[user] + " + li_label + " at (0, 0, 0)")) << bob->transcript();
    EXPECT_TRUE(li->wait_for("[notice] bob 登录了！")) << li->transcript();

    // The observer logs in to room 7 too and finds 李雷's name in GBK.
    stUserInfo me{};
    profile::set_name(me, "observer");
    profile::set_room(me, 7);
    ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", std::stoi(port_)), 1);
    ASSERT_EQ(chatComunicate::Login(me, ""), 1);
    std::set<stUserInfo> users;
    chatComunicate::GetUserList(users);
    bool found = false;
    for (const stUserInfo& u : users) {
        found = found || profile::name(u) == kLiLeiGbk;
    }
    EXPECT_TRUE(found) << "李雷 is not GBK on the wire";
    ASSERT_TRUE(li->wait_for("[notice] observer 登录了！")) << li->transcript();

    li->write_line(kHello + " bob");
    EXPECT_TRUE(bob->wait_for("[chat] " + li_label + ": " + kHello + " bob")) << bob->transcript();
    EXPECT_TRUE(li->wait_for("[chat] " + li_label + ": " + kHello + " bob")) << li->transcript();

    bob->write_line("/w " + li_id + " " + kSecret);
    const std::string whisper = "[whisper] " + bob_label + " -> " + li_label + ": " + kSecret;
    EXPECT_TRUE(li->wait_for(whisper)) << li->transcript();
    EXPECT_TRUE(bob->wait_for(whisper)) << bob->transcript();

    li->write_line("/name " + kWang);
    EXPECT_TRUE(li->wait_for("[status] you are now " + kWang + "#" + li_id)) << li->transcript();
    EXPECT_TRUE(bob->wait_for("[notice] " + kLiLei + " 改名为: " + kWang)) << bob->transcript();
    EXPECT_TRUE(bob->wait_for("[user] ~ " + li_label + " is now called " + kWang))
        << bob->transcript();

    // A GBK line from a host that never saw UTF-8 reads as UTF-8 on both terminals.
    std::string gbk_line = kHelloGbk;
    ASSERT_TRUE(chatComunicate::SendTalk(-1, gbk_line.c_str(), false));
    for (ChildProcess* c : {li.get(), bob.get()}) {
        ASSERT_TRUE(c->wait_for("[chat] observer#")) << c->transcript();
        const std::string got = c->line_with("[chat] observer#");
        EXPECT_EQ(got.substr(got.size() - kHello.size() - 2), ": " + kHello) << got;
    }

    bob->write_line("/quit");
    EXPECT_EQ(bob->wait_exit(), 0) << bob->transcript();
    EXPECT_TRUE(li->wait_for("[notice] bob 退出了！")) << li->transcript();
    li->write_line("/quit");
    EXPECT_EQ(li->wait_exit(), 0) << li->transcript();

    // What the observer got: the public line in GBK bytes and the rename
    // notice with both names in GBK; the whisper was not for it.
    const auto lines = observed_talk(5);
    std::vector<std::string> texts;
    for (const stChatContent& l : lines) {
        texts.push_back(l.text);
        EXPECT_FALSE(l.flag) << "the observer got a whisper";
    }
    auto has = [&](const std::string& t) {
        for (const std::string& s : texts) {
            if (s == t) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(has(kHelloGbk + " bob"));
    EXPECT_TRUE(has(kLiLeiGbk + " \xB8\xC4\xC3\xFB\xCE\xAA: " + kWangGbk));
    EXPECT_TRUE(has(kHelloGbk));
}

TEST_F(ChatLineMode, RefusedTextsAreReportedAndNothingIsSent) {
    auto li = chat(kLiLei);
    ASSERT_TRUE(li->wait_for("[status] logged in as")) << li->transcript();
    li->write_line("smile \xF0\x9F\x98\x80");  // no emoji in GBK
    EXPECT_TRUE(li->wait_for("[error] the line cannot be written in GBK")) << li->transcript();
    // 16 Chinese characters are 48 bytes of UTF-8 but 32 of GBK: too long a name.
    std::string long_name;
    for (int i = 0; i < 16; ++i) {
        long_name += kHello.substr(0, 3);
    }
    li->write_line("/name " + long_name);
    EXPECT_TRUE(li->wait_for("[error] the name is 32 bytes in GBK; at most 30 fit"))
        << li->transcript();
    li->write_line("/me moonwalk");
    EXPECT_TRUE(li->wait_for("[error] unknown action 'moonwalk'")) << li->transcript();
    li->write_line("/quit");
    EXPECT_EQ(li->wait_exit(), 0) << li->transcript();
    EXPECT_TRUE(li->line_with("[chat]").empty()) << li->transcript();
}

TEST_F(ChatLineMode, EndOfInputLogsOutAndLostConnectionExitsWithThree) {
    {
        auto li = chat("quiet");
        ASSERT_TRUE(li->wait_for("[status] logged in as")) << li->transcript();
        li->close_input();
        EXPECT_EQ(li->wait_exit(), 0) << li->transcript();
        EXPECT_TRUE(li->line_with("[status] logged out").size()) << li->transcript();
    }
    auto li = chat("left behind");
    ASSERT_TRUE(li->wait_for("[status] logged in as")) << li->transcript();
    server_.reset();  // the server ends
    EXPECT_TRUE(li->wait_for("[status] connection lost", 15s)) << li->transcript();
    EXPECT_EQ(li->wait_exit(), 3) << li->transcript();
}

TEST(ChatLineModeLogin, NoServerGivesStatusTwo) {
    ChildProcess li({PALAVER_CHAT_BIN, "--server", "127.0.0.1:1", "--name", "x"});
    EXPECT_EQ(li.wait_exit(15s), 2) << li.transcript();
    EXPECT_TRUE(li.line_with("[error] login failed: cannot reach 127.0.0.1:1").size())
        << li.transcript();
}

}  // namespace
}  // namespace palaver::test
