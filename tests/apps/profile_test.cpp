#include "PalaverProfile.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

namespace pf = palaver::profile;

const unsigned char* raw(const stUserInfo& u) {
    return reinterpret_cast<const unsigned char*>(&u);
}

TEST(Profile, FieldsLandAtTheirBytesLittleEndian) {
    stUserInfo u{};
    ASSERT_TRUE(pf::set_name(u, "abc"));
    pf::set_model(u, 0x01020304);
    ASSERT_TRUE(pf::set_picture(u, "cat"));
    pf::set_position(u, {1.0, -2.0, 0.5, 0.25f});
    pf::set_room(u, 0x0A0B0C0D);

    EXPECT_EQ(std::memcmp(raw(u) + 4, "abc\0", 4), 0);
    EXPECT_EQ(std::memcmp(raw(u) + 35, "\x04\x03\x02\x01", 4), 0);
    EXPECT_EQ(std::memcmp(raw(u) + 39, "cat\0", 4), 0);
    // 1.0 is 0x3FF0000000000000; 0.25f is 0x3E800000.
    EXPECT_EQ(std::memcmp(raw(u) + 50, "\0\0\0\0\0\0\xF0\x3F", 8), 0);
    EXPECT_EQ(std::memcmp(raw(u) + 74, "\0\0\x80\x3E", 4), 0);
    EXPECT_EQ(raw(u)[78], 0);
    EXPECT_EQ(std::memcmp(raw(u) + 79, "\x0D\x0C\x0B\x0A", 4), 0);

    EXPECT_EQ(pf::name(u), "abc");
    EXPECT_EQ(pf::model(u), 0x01020304);
    EXPECT_EQ(pf::picture(u), "cat");
    EXPECT_EQ(pf::position(u).y, -2.0);
    EXPECT_EQ(pf::position(u).fourth, 0.25f);
    EXPECT_EQ(pf::room(u), 0x0A0B0C0Du);
}

TEST(Profile, OverlongTextsAreRefusedAndChangeNothing) {
    stUserInfo u{};
    ASSERT_TRUE(pf::set_name(u, std::string(30, 'n')));
    ASSERT_TRUE(pf::set_picture(u, std::string(10, 'p')));
    EXPECT_FALSE(pf::set_name(u, std::string(31, 'x')));
    EXPECT_FALSE(pf::set_picture(u, std::string(11, 'x')));
    EXPECT_EQ(pf::name(u), std::string(30, 'n'));
    EXPECT_EQ(pf::picture(u), std::string(10, 'p'));
    // A shorter name clears the old one's tail, so no stale byte follows the NUL.
    ASSERT_TRUE(pf::set_name(u, "ab"));
    EXPECT_EQ(raw(u)[4 + 29], 0);
}

TEST(Profile, RecordsWithoutTerminatorsReadBounded) {
    stUserInfo u;
    std::memset(&u, 'z', sizeof u);
    EXPECT_EQ(pf::name(u).size(), sizeof u.name);
    EXPECT_EQ(pf::picture(u).size(), pf::kPictureCapacity + 1);
}

}  // namespace
