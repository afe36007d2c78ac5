// Lists of pointers: creation, growth, counting, ownership on release, and
// plain NULL-terminated arrays that carry no header.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ss.h"

namespace {

int destroyed;  // items released through counting_destroy
int counting_destroy(void *item) {
    ++destroyed;
    std::free(item);
    return 0;
}

// A plain heap array of heap strings, NULL-terminated, as ap_destroy expects.
APLIST plain_array(const std::vector<const char *> &items) {
    auto ap = static_cast<APLIST>(std::calloc(items.size() + 1, sizeof(void *)));
    for (std::size_t i = 0; i < items.size(); ++i) ap[i] = strdup(items[i]);
    return ap;
}

}  // namespace

TEST(SsAplist, CreateSetsCapacityAndOwnership) {
    struct Case {
        int no_items;
        PTF_int destroy;
        int max_obj;
        int obj_links;
    } cases[] = {
        {5, ap_free_item, 5, 0}, {1, ap_free_item, 1, 0}, {0, nullptr, 1, 1},
        {-3, nullptr, 1, 1},     {0, ap_free_item, 1, 0}, {7, nullptr, 7, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.no_items);
        APLIST ap = ap_create(c.no_items, c.destroy);
        ASSERT_NE(ap, nullptr);
        ap_head *h = ap_tohead(ap);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->magic, AP_MAGIC);
        EXPECT_EQ(h->obj_start, ap);
        EXPECT_EQ(h->max_obj, c.max_obj);
        EXPECT_EQ(h->obj_links, c.obj_links);
        EXPECT_EQ(h->obj_destroy, c.destroy);
        EXPECT_EQ(h->obj_dup, nullptr);
        EXPECT_EQ(h->no_items, 0);
        EXPECT_EQ(h->cur_obj, 0);
        for (int i = 0; i <= c.max_obj; ++i) EXPECT_EQ(ap[i], nullptr);
        EXPECT_EQ(ap_valid(ap), 0);
        EXPECT_EQ(ap_len(ap), 0);
        ap_del(ap);  // a deleted list is no longer valid
        EXPECT_EQ(ap_valid(ap), -1);
        EXPECT_EQ(ap_tohead(ap), nullptr);
    }
}

TEST(SsAplist, AddingGrowsByDoublingAndKeepsOrder) {
    // Capacity after adding n items to a list made with room for 5.
    struct Step {
        int count;
        int max_obj;
        bool handle_changes;
    } steps[] = {{1, 5, false}, {5, 5, false},  {6, 10, true},  {10, 10, false},
                 {11, 20, true}, {21, 40, true}, {40, 40, false}, {41, 80, true}};
    static int values[41];
    APLIST ap = ap_create(5, nullptr);
    int added = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.count);
        APLIST before = ap;
        while (added < s.count) {
            before = ap;
            ASSERT_EQ(ap_add_item(&ap, &values[added]), 0);
            ++added;
        }
        EXPECT_EQ(ap != before, s.handle_changes);
        ASSERT_EQ(ap_valid(ap), 0);
        EXPECT_EQ(ap_tohead(ap)->max_obj, s.max_obj);
        EXPECT_EQ(ap_len(ap), s.count);
        EXPECT_EQ(ap_rlen(ap), s.count);
        for (int i = 0; i < s.count; ++i) ASSERT_EQ(ap[i], &values[i]) << i;
        EXPECT_EQ(ap[s.count], nullptr);
    }
    ap_del(ap);
}

TEST(SsAplist, LenUsesOrCachesTheCount) {
    static int a, b, c;
    APLIST ap = ap_create(4, nullptr);
    ap[0] = &a;  // filled behind the library's back: count not taken yet
    ap[1] = &b;
    EXPECT_EQ(ap_len(ap), 2);
    EXPECT_EQ(ap_tohead(ap)->no_items, 2);
    ap[2] = &c;  // a cached count is trusted, the slots are not looked at
    EXPECT_EQ(ap_len(ap), 2);
    EXPECT_EQ(ap_rlen(ap), 3);  // ap_rlen always walks the slots
    EXPECT_EQ(ap_tohead(ap)->no_items, 2);
    ap_del(ap);
}

TEST(SsAplist, DestroyReleasesOnlyOwnedItems) {
    struct Case {
        const char *what;
        PTF_int destroy;
        bool fill_directly;  // bypass ap_add_item, so no_items stays 0
        int released;
    } cases[] = {
        {"owning, counted", counting_destroy, false, 3},
        {"owning, not counted", counting_destroy, true, 3},
        {"references", nullptr, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        destroyed = 0;
        APLIST ap = ap_create(c.fill_directly ? 3 : 2, c.destroy);
        std::vector<void *> items;
        for (int i = 0; i < 3; ++i) items.push_back(std::malloc(8));
        if (c.fill_directly) {
            for (int i = 0; i < 3; ++i) ap[i] = items[i];
        } else {
            for (void *item : items) ASSERT_EQ(ap_add_item(&ap, item), 0);
        }
        ap_destroy(ap);
        EXPECT_EQ(destroyed, c.released);
        EXPECT_EQ(ap_valid(ap), -1);
        if (c.released == 0)
            for (void *item : items) std::free(item);
    }
}

TEST(SsAplist, ExpandCarriesHeaderAndInvalidatesOldHandle) {
    static int x, y;
    APLIST ap = ap_create(2, counting_destroy);
    ap_add_item(&ap, &x);
    ap_add_item(&ap, &y);
    ap_tohead(ap)->cur_obj = 1;

    struct Case {
        int incr;
        int max_obj;
    } cases[] = {{3, 5}, {0, 2}, {-10, 2}};  // a negative increment never loses room
    for (const Case &c : cases) {
        SCOPED_TRACE(c.incr);
        APLIST grown = ap_expand(ap, c.incr);
        ASSERT_NE(grown, nullptr);
        EXPECT_EQ(ap_valid(ap), -1);
        ap = grown;
        const ap_head *h = ap_tohead(ap);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->max_obj, c.max_obj);
        EXPECT_EQ(h->no_items, 2);
        EXPECT_EQ(h->cur_obj, 1);
        EXPECT_EQ(h->obj_links, 0);
        EXPECT_EQ(h->obj_destroy, counting_destroy);
        EXPECT_EQ(ap[0], &x);
        EXPECT_EQ(ap[1], &y);
        EXPECT_EQ(ap[2], nullptr);
    }
    // A capacity beyond int is refused and leaves the list as it was.
    EXPECT_EQ(ap_expand(ap, INT_MAX), nullptr);
    EXPECT_EQ(ap_valid(ap), 0);
    EXPECT_EQ(ap_len(ap), 2);
    ap_del(ap);
}

TEST(SsAplist, PlainArraysWithoutHeader) {
    APLIST plain = plain_array({"one", "two", "three"});
    EXPECT_EQ(ap_tohead(plain), nullptr);
    EXPECT_EQ(ap_valid(plain), -1);
    EXPECT_EQ(ap_len(plain), 3);
    EXPECT_EQ(ap_rlen(plain), 3);
    EXPECT_EQ(ap_add_item(&plain, nullptr), -1);
    ap_destroy(plain);  // frees the strings and the array (checked by ASan)

    // Growing a plain array turns it into a list of references.
    plain = plain_array({"a", "b"});
    std::vector<void *> items(plain, plain + 2);
    APLIST ap = ap_expand(plain, 1);
    ASSERT_NE(ap_tohead(ap), nullptr);
    EXPECT_EQ(ap_tohead(ap)->obj_links, 1);
    EXPECT_EQ(ap_tohead(ap)->max_obj, 3);
    EXPECT_EQ(ap_len(ap), 2);
    EXPECT_EQ(ap[0], items[0]);
    EXPECT_EQ(ap[1], items[1]);
    ap_destroy(ap);  // references: the strings stay
    for (void *item : items) std::free(item);
}

TEST(SsAplist, HeaderLookalikeInFrontOfArrayIsNotTrusted) {
    // Memory in front of a plain array that happens to look like a live
    // header must not make the array pass for a list.
    struct {
        ap_head fake;
        void *slots[3];
    } mem{};
    static int a;
    mem.fake.magic = AP_MAGIC;
    mem.fake.max_obj = 1;
    mem.fake.obj_start = mem.slots;
    mem.slots[0] = &a;
    EXPECT_EQ(ap_tohead(mem.slots), nullptr);
    EXPECT_EQ(ap_valid(mem.slots), -1);
    APLIST handle = mem.slots;
    EXPECT_EQ(ap_add_item(&handle, &a), -1);
    EXPECT_EQ(ap_len(mem.slots), 1);
    EXPECT_EQ(mem.fake.no_items, 0);  // nothing written in front of the array
}

TEST(SsAplist, NullHandlesAreHarmless) {
    APLIST none = nullptr;
    EXPECT_EQ(ap_len(nullptr), 0);
    EXPECT_EQ(ap_rlen(nullptr), 0);
    EXPECT_EQ(ap_tohead(nullptr), nullptr);
    EXPECT_EQ(ap_valid(nullptr), -1);
    EXPECT_EQ(ap_expand(nullptr, 4), nullptr);
    EXPECT_EQ(ap_add_item(&none, nullptr), -1);
    EXPECT_EQ(ap_add_item(nullptr, nullptr), -1);
    ap_del(nullptr);
    ap_destroy(nullptr);
}
