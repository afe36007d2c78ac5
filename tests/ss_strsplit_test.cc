// Splitting texts into fields (separators, double quotes, backslash escapes)
// and converting between lists and plain string arrays.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ss.h"

namespace {

using Fields = std::vector<std::string>;

Fields fields_of(APLIST ap) {
    Fields out;
    for (int i = 0; ap[i] != nullptr; ++i) out.emplace_back(static_cast<const char *>(ap[i]));
    return out;
}

}  // namespace

TEST(SsStrsplit, FieldsQuotesAndEscapes) {
    struct Case {
        const char *text;
        const char *seps;
        Fields fields;
    } cases[] = {
        // empty fields
        {"a,,b", ",", {"a", "", "b"}},
        {",a,", ",", {"", "a"}},
        {",", ",", {""}},
        {"", ",", {}},
        {nullptr, ",", {}},
        // any separator of the set ends a field
        {"a,b;c", ",;", {"a", "b", "c"}},
        {"a b", "", {"a b"}},
        {"a b", nullptr, {"a b"}},
        // quotes group separators; text before an opening quote is dropped
        {"\"a,b\",c", ",", {"a,b", "c"}},
        {"x\"a,b\",c", ",", {"a,b", "c"}},
        {"\"unclosed,text", ",", {"unclosed,text"}},
        {"a,\"\"", ",", {"a", ""}},
        {"\"ab\"cd,e", ",", {"abcd", "e"}},
        // the character that follows a closing quote is taken as it is
        {"\"ab\"\\,c", ",", {"ab\\", "c"}},
        // a closing quote deletes every later double quote
        {"\"a b\" \"c d\"", " ", {"a b", "c", "d"}},
        // backslash escapes: the escaped character is ordinary, the backslash
        // goes when the field had an escape
        {"a\\,b,c", ",", {"a,b", "c"}},
        {"c,a\\,b", ",", {"c", "a,b"}},
        {"a\\\"b,c", ",", {"a\"b", "c"}},
        {"a\\\\,b", ",", {"a", "b"}},
        {"abc\\", ",", {"abc\\"}},
        // after an escape a double quote no longer closes the quoted stretch
        {"\"x\\,y\",z", ",", {"x,y\",z"}},
        // NAME=value feature words as the extractor hands them over
        {"NOCOMPR,NAME=a.tar,VFYFS=/opt", ",", {"NOCOMPR", "NAME=a.tar", "VFYFS=/opt"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        std::string text = c.text != nullptr ? c.text : "";  // the caller's text is left alone
        APLIST ap = ap_strsplit(c.text != nullptr ? text.data() : nullptr, c.seps);
        EXPECT_EQ(text, c.text != nullptr ? c.text : "");
        ASSERT_NE(ap, nullptr);
        ASSERT_EQ(ap_valid(ap), 0);
        EXPECT_EQ(fields_of(ap), c.fields);
        EXPECT_EQ(ap_len(ap), static_cast<int>(c.fields.size()));
        EXPECT_EQ(ap_tohead(ap)->obj_links, 0);  // the list owns its strings
        ap_destroy(ap);
    }
}

TEST(SsStrsplit, ManyFieldsSurviveGrowth) {
    std::string text;
    Fields expected;
    for (int i = 0; i < 100; ++i) {
        std::string name = "f";
        name += std::to_string(i);
        expected.push_back(name);
        if (i > 0) text.push_back(',');
        text.append(expected.back());
    }
    APLIST ap = ap_strsplit(text.c_str(), ",");
    ASSERT_NE(ap, nullptr);
    EXPECT_EQ(fields_of(ap), expected);
    ap_destroy(ap);
}

TEST(SsStrsplit, ListsAndStringArraysConvertBothWays) {
    const std::vector<Fields> cases = {{"only"}, {"a", "", "c"}, {"1", "2", "3", "4", "5", "6", "7"}};
    for (const Fields &words : cases) {
        SCOPED_TRACE(words.size());
        std::vector<char *> input;
        for (const std::string &w : words) input.push_back(const_cast<char *>(w.c_str()));
        input.push_back(nullptr);

        APLIST ap = nullptr;
        ASSERT_EQ(charlist2ap(input.data(), &ap), static_cast<int>(words.size()));
        ASSERT_NE(ap, nullptr);
        EXPECT_EQ(fields_of(ap), words);
        EXPECT_NE(ap[0], input[0]);  // copies, not the caller's strings

        char **clist = nullptr;
        ASSERT_EQ(ap2charlist(&ap, &clist), static_cast<int>(words.size()));
        ASSERT_NE(clist, nullptr);
        Fields back;
        for (int i = 0; clist[i] != nullptr; ++i) back.emplace_back(clist[i]);
        EXPECT_EQ(back, words);
        EXPECT_NE(static_cast<void *>(clist[0]), ap[0]);

        ap_destroy(ap);
        for (int i = 0; clist[i] != nullptr; ++i) std::free(clist[i]);
        std::free(clist);
    }
}

TEST(SsStrsplit, EmptyConversions) {
    APLIST ap = reinterpret_cast<APLIST>(1);
    EXPECT_EQ(charlist2ap(nullptr, &ap), 0);
    EXPECT_EQ(ap, nullptr);
    char *none[] = {nullptr};
    ap = reinterpret_cast<APLIST>(1);
    EXPECT_EQ(charlist2ap(none, &ap), 0);
    EXPECT_EQ(ap, nullptr);

    char **clist = reinterpret_cast<char **>(1);
    APLIST empty = ap_create(5, ap_free_item);
    EXPECT_EQ(ap2charlist(&empty, &clist), 0);
    EXPECT_EQ(clist, nullptr);
    ap_destroy(empty);
    APLIST null_list = nullptr;
    clist = reinterpret_cast<char **>(1);
    EXPECT_EQ(ap2charlist(&null_list, &clist), 0);
    EXPECT_EQ(clist, nullptr);
}
