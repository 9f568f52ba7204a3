#include "command.h"

#include <gtest/gtest.h>

#include "actions.h"

namespace palaver::chat {
namespace {

using Kind = Command::Kind;

TEST(Command, PlainTextIsSaidAndDoubleSlashEscapes) {
    EXPECT_EQ(parse_command("").kind, Kind::kNone);
    EXPECT_EQ(parse_command("   \r\n").kind, Kind::kNone);
    Command c = parse_command("hello there\r\n");
    EXPECT_EQ(c.kind, Kind::kSay);
    EXPECT_EQ(c.text, "hello there");
    c = parse_command("//me is not a command");
    EXPECT_EQ(c.kind, Kind::kSay);
    EXPECT_EQ(c.text, "/me is not a command");
}

TEST(Command, WhisperKeepsTheRestOfTheLineWithItsSpaces) {
    Command c = parse_command("/w 12   see  you later");
    ASSERT_EQ(c.kind, Kind::kWhisper);
    EXPECT_EQ(c.target, 12);
    EXPECT_EQ(c.text, "see  you later");
    EXPECT_EQ(parse_command("/w 12").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/w x hi").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/w -3 hi").target, -3);
}

TEST(Command, MeTakesNamesAndNumbersWithAnOptionalTarget) {
    Command c = parse_command("/me wave");
    ASSERT_EQ(c.kind, Kind::kAct);
    EXPECT_EQ(c.action, *parse_action("wave"));
    EXPECT_EQ(c.target, kEveryone);
    c = parse_command("/me 200 7");
    ASSERT_EQ(c.kind, Kind::kAct);
    EXPECT_EQ(c.action, 200);
    EXPECT_EQ(c.target, 7);
    EXPECT_EQ(parse_command("/me 256").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/me -1").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/me moonwalk").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/me").kind, Kind::kInvalid);
}

TEST(Command, ActionNamesAndBytesRoundTrip) {
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<unsigned char>(b);
        ASSERT_EQ(parse_action(std::to_string(b)), byte);
        EXPECT_FALSE(describe_action(byte).empty());
    }
    EXPECT_EQ(describe_action(*parse_action("wave")), "waves");
    EXPECT_EQ(describe_action(0), "shows action 0");
    EXPECT_EQ(describe_action(99), "shows action 99");
    EXPECT_FALSE(parse_action("").has_value());
    EXPECT_FALSE(parse_action("3x").has_value());
}

TEST(Command, WalkTakesThreeOrFourFiniteNumbers) {
    Command c = parse_command("/walk 1.5 -2 3e2 0.25");
    ASSERT_EQ(c.kind, Kind::kWalk);
    EXPECT_DOUBLE_EQ(c.x, 1.5);
    EXPECT_DOUBLE_EQ(c.y, -2);
    EXPECT_DOUBLE_EQ(c.z, 300);
    EXPECT_FLOAT_EQ(c.fourth, 0.25f);
    EXPECT_FLOAT_EQ(parse_command("/walk 1 2 3").fourth, 0.0f);
    EXPECT_EQ(parse_command("/walk 1 2").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/walk 1 2 3 4 5").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/walk 1 2 nan").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/walk 1 2 3x").kind, Kind::kInvalid);
}

TEST(Command, ProfileAndAdminCommands) {
    Command c = parse_command("/name  Li Lei ");
    ASSERT_EQ(c.kind, Kind::kName);
    EXPECT_EQ(c.text, "Li Lei ");
    EXPECT_EQ(parse_command("/name").kind, Kind::kInvalid);
    c = parse_command("/model -4");
    ASSERT_EQ(c.kind, Kind::kModel);
    EXPECT_EQ(c.number, -4);
    EXPECT_EQ(parse_command("/model 99999999999").kind, Kind::kInvalid);
    c = parse_command("/pic cat");
    ASSERT_EQ(c.kind, Kind::kPicture);
    EXPECT_EQ(c.text, "cat");
    EXPECT_EQ(parse_command("/pic a b").kind, Kind::kInvalid);
    c = parse_command("/kick 5");
    ASSERT_EQ(c.kind, Kind::kKick);
    EXPECT_EQ(c.target, 5);
    EXPECT_EQ(c.number, 0);
    EXPECT_EQ(parse_command("/kick 5 30").number, 30);
    EXPECT_EQ(parse_command("/kick 5 -1").kind, Kind::kInvalid);
}

TEST(Command, BareCommandsRefuseArgumentsAndUnknownOnesAreNamed) {
    EXPECT_EQ(parse_command("/who").kind, Kind::kWho);
    EXPECT_EQ(parse_command("/quit").kind, Kind::kQuit);
    EXPECT_EQ(parse_command("/reconnect").kind, Kind::kReconnect);
    EXPECT_EQ(parse_command("/quit now").kind, Kind::kInvalid);
    EXPECT_EQ(parse_command("/sleep 250").number, 250);
    EXPECT_EQ(parse_command("/sleep 60001").kind, Kind::kInvalid);
    Command c = parse_command("/dance");
    ASSERT_EQ(c.kind, Kind::kInvalid);
    EXPECT_NE(c.text.find("/dance"), std::string::npos);
}

}  // namespace
}  // namespace palaver::chat
