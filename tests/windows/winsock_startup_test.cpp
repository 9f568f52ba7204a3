// The start-up object hands Winsock the version word with the major version
// in its low byte: 2.0 is a version Winsock grants, 0.2 is not.
#include <gtest/gtest.h>

#include "lib/api/winsock_startup.h"

namespace {

TEST(WinsockStartup, TheMajorVersionGoesInTheLowByte) {
    palaver::CWinsockStartup twoDotZero(2, 0);
    EXPECT_TRUE(twoDotZero.started());
    palaver::CWinsockStartup zeroDotTwo(0, 2);
    EXPECT_FALSE(zeroDotTwo.started());
}

}  // namespace
