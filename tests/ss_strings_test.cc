// Character deletion and cutting a path to its last component.
#include <gtest/gtest.h>

#include <string>

#include "ss.h"

TEST(SsStrings, StrdelRemovesEveryOccurrence) {
    struct Case {
        const char *text;
        int c;
        int removed;
        const char *left;
    } cases[] = {
        {"a\"b\"c", '"', 2, "abc"},
        {"aaa", 'a', 3, ""},
        {"abc", 'x', 0, "abc"},
        {"", 'x', 0, ""},
        {"a\\,b\\", '\\', 2, "a,b"},
        {"abc", 0, 0, "abc"},
        // bytes above 127 compare by their signed value
        {"\xe9t\xe9", -23, 2, "t"},
        {"\xe9t\xe9", 0xe9, 0, "\xe9t\xe9"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string buf = c.text;
        EXPECT_EQ(strdel(buf.data(), c.c), c.removed);
        EXPECT_EQ(std::string(buf.c_str()), c.left);
    }
    EXPECT_EQ(strdel(nullptr, 'a'), 0);
}

TEST(SsStrings, ToBasenameKeepsLastComponent) {
    struct Case {
        const char *path;
        const char *base;
    } cases[] = {
        {"/usr/local/lib", "lib"}, {"name", "name"}, {"dir/", ""},  {"/", ""},
        {"/a", "a"},               {"a//b", "b"},    {"", ""},      {"./x.tar.gz", "x.tar.gz"},
        // a long last component overlaps its new place
        {"d/abcdefghijklmnopqrstuvwxyz0123456789", "abcdefghijklmnopqrstuvwxyz0123456789"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        std::string buf = c.path;
        EXPECT_EQ(to_basename(buf.data()), buf.data());
        EXPECT_EQ(std::string(buf.c_str()), c.base);
    }
}
