#include "core/byte_buffer.h"

#include <gtest/gtest.h>

TEST(ByteBuffer, AllocateKeepsTwoZeroBytesBehind) {
    ByteBuffer b;
    EXPECT_TRUE(b.allocate(5));
    ASSERT_EQ(b.length(), 5);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(b.data()[i], 0);
}
