// The feature list: appending words, looking them up by substring, trimming.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "kivra.h"
#include "testkit.h"

namespace {

TEST(AddFeature, JoinsWordsWithCommas) {
    struct Case {
        std::vector<std::string> words;
        std::string list;
    } cases[] = {
        {{"VFYFS=/tmp", "FSSUB=qm", "NAME=f"}, "VFYFS=/tmp,FSSUB=qm,NAME=f"},
        {{"", "A"}, "A"},
        {{"A", ""}, "A,"},
        {{"A=1,B=2", "C"}, "A=1,B=2,C"},
        {{std::string(TEXT_MAX, 'x')}, std::string(TEXT_MAX, 'x')},
        {{std::string(TEXT_MAX - 2, 'x'), "y"}, std::string(TEXT_MAX - 2, 'x') + ",y"},
    };
    for (const Case &c : cases) {
        features[0] = '\0';
        for (const std::string &w : c.words) EXPECT_EQ(add_feature(w.c_str()), 0);
        EXPECT_EQ(features, c.list);
    }
}

TEST(AddFeature, RefusesWordsThatOverflowTheList) {
    struct Case {
        std::string before, word;
    } cases[] = {
        {"", std::string(TEXT_BUF, 'x')},
        {std::string(TEXT_MAX - 1, 'x'), "y"},  // the comma would be the 1024th character
        {std::string(TEXT_MAX, 'x'), ""},       // even a lone comma does not fit
    };
    for (const Case &c : cases) {
        std::strcpy(features, c.before.c_str());
        EXPECT_EQ(testkit::stderr_of([&] { EXPECT_EQ(add_feature(c.word.c_str()), -1); }),
                  "kivra: feature list longer than 1023 characters: cannot add \"" + c.word + "\"\n");
        EXPECT_EQ(features, c.before) << "list unchanged";
    }
}

TEST(GetFeature, SubstringRules) {
    struct Case {
        std::string list;
        const char *key;
        std::optional<std::string> expect;  // none: not found
    } cases[] = {
        {"VFYFS=/tmp,FSSUB=qm,NAME=f", "FSSUB=", "FSSUB=qm"},
        {"VFYFS=/tmp,FSSUB=qm,NAME=f", "NAME=", "NAME=f"},
        {"FILENAME=a,NAME=b", "NAME=", "NAME=a"},  // inside the first word
        {"XNOCOMPR", "NOCOMPR", "NOCOMPR"},
        {"A=1  ,B=2", "A=", "A=1"},              // cut at the comma, then trimmed
        {"B=2,A=1  ", "A=", "A=1  "},            // last word: no trimming
        {"A=1\t\r\n,B", "A=", "A=1"},
        {"NOCOMPR,NAME=x", "NOCOMPR", "NOCOMPR"},
        {"VFYFS=/tmp", "FSSUB=", std::nullopt},
        {"", "NAME=", std::nullopt},
        {"A,B", "", "A"},
        {"K=", "K=", "K="},
        // the result holds at most 255 characters
        {"K=" + std::string(400, 'v'), "K=", "K=" + std::string(253, 'v')},
        {"K=" + std::string(400, 'v') + ",X", "K=", "K=" + std::string(253, 'v')},
        {"A,K=" + std::string(400, 'v'), "K=", "K=" + std::string(253, 'v')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.list + " / " + c.key);
        std::strcpy(features, c.list.c_str());
        const char *got = get_feature(c.key);
        EXPECT_EQ(got ? std::optional<std::string>(got) : std::nullopt, c.expect);
    }
}

TEST(Strtrim, CutsTrailingWhitespaceOnly) {
    struct Case {
        std::string in, out;
        int len;
    } cases[] = {
        {"x \t\r\n", "x", 1},  {"   ", "", 0},     {"x\v", "x\v", 2},  {"", "", 0},
        {"  a b  ", "  a b", 5}, {"a\n\nb", "a\n\nb", 4}, {"a\f", "a\f", 2},
    };
    for (const Case &c : cases) {
        std::string s = c.in;
        EXPECT_EQ(strtrim(s.data()), c.len) << c.in;
        EXPECT_EQ(std::string(s.c_str()), c.out);
    }
}

}  // namespace
