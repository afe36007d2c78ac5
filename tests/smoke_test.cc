#include <gtest/gtest.h>

#include "stream.h"
#include "testkit.h"

TEST(Crc32, KnownVectors) {
    struct Case {
        const char *data;
        ulg crc;
    } cases[] = {{"", 0}, {"a", 0xe8b7be43UL}, {"123456789", 0xcbf43926UL}};
    for (const Case &c : cases) {
        updcrc(nullptr, 0);
        EXPECT_EQ(updcrc(reinterpret_cast<const uch *>(c.data), static_cast<unsigned>(strlen(c.data))), c.crc)
            << c.data;
    }
}
