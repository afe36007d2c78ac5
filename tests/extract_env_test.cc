// export_features: every feature word, as the listing shows it, becomes an
// environment variable of the extractor; flags get empty values; quotes and
// backslashes are ordinary characters; trailing blanks go.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "kivra.h"

namespace {

TEST(ExportFeatures, EveryWordBecomesAVariable) {
    std::snprintf(features, sizeof features, "%s",
                  "KVT_FS=/tmp,KVT_FLAG, KVT_X=1,\"KVT_MSG=a,KVT_B\",KVT_P=a\\,KVT_Q,KVT_T=1  ,KVT_EQ=x=y");
    export_features();
    struct Case {
        const char *name;
        const char *value;  // nullptr: no such variable
    } cases[] = {
        {"KVT_FS", "/tmp"}, {"KVT_FLAG", ""}, {" KVT_X", "1"}, {"\"KVT_MSG", "a"}, {"KVT_MSG", nullptr},
        {"KVT_B\"", ""},    {"KVT_P", "a\\"}, {"KVT_Q", ""},    {"KVT_T", "1"},         {"KVT_EQ", "x=y"},
    };
    for (const Case &c : cases) EXPECT_STREQ(std::getenv(c.name), c.value) << c.name;
    features[0] = '\0';
}

TEST(ExportFeatures, EmptyListExportsNothing) {
    features[0] = '\0';
    size_t before = 0;
    for (char **e = environ; *e; e++) before++;
    export_features();
    size_t after = 0;
    for (char **e = environ; *e; e++) after++;
    EXPECT_EQ(after, before);
}

}  // namespace
