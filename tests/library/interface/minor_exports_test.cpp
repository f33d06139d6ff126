// The exports that need no reader.

#include <gtest/gtest.h>

#include <cstring>

#include "talvex.h"

namespace {

TEST(GetSerialNumber, WritesTheFixedNumberWithItsZeroWhateverThePort) {
    for (unsigned port : {0u, 3u, 255u}) {
        char output[16];
        std::memset(output, 'x', sizeof output);
        EXPECT_EQ(GetSerialNumber_(static_cast<unsigned char>(port), output), 0);
        EXPECT_EQ(std::memcmp(output, "0123456789\0", 11), 0);
        EXPECT_EQ(output[11], 'x');  // 11 bytes, not one more
    }
}

TEST(Param, AssignmentCopiesTheFiveValuesAndReturnsTheTarget) {
    const Param source{1, -2, 3, 0x7FFFFFFF, -5};
    Param first{};
    Param second{};
    Param& result = (second = (first = source));
    EXPECT_EQ(&result, &second);
    for (const Param* p : {&first, &second}) {
        EXPECT_EQ(p->nValue1, 1);
        EXPECT_EQ(p->nValue2, -2);
        EXPECT_EQ(p->nValue3, 3);
        EXPECT_EQ(p->nValue4, 0x7FFFFFFF);
        EXPECT_EQ(p->nValue5, -5);
    }
}

}  // namespace
