// aplist.cc - lists of pointers that walk like an argument vector.
//
// A list is one heap block: a struct ap_head followed directly by max_obj + 1
// item slots. The handle points at the first slot, so code that knows nothing
// about the library can walk it up to the closing NULL, while the library
// finds the header just in front of the handle.
//
// The routines also accept plain NULL-terminated arrays that have no header.
// To tell the two apart without ever reading memory in front of a plain array,
// every live list is entered in a registry of handles when it is created and
// removed when it is deleted; only a registered handle is taken to have a
// header. Deleted or foreign handles therefore never count as lists.
//
// Nothing here prints; shortage of memory shows as a NULL handle or -1.
#include "ss.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <unordered_set>

namespace {

// Handles of the lists that ap_create made and ap_del has not yet freed.
// Allocated once and never destroyed, so that lists may still be used from
// exit handlers after static destructors have run.
std::unordered_set<const void *> &live_lists() {
    static auto *lists = new std::unordered_set<const void *>;
    return *lists;
}

ap_head *head_of(APLIST ap) {
    return reinterpret_cast<ap_head *>(reinterpret_cast<char *>(ap) - sizeof(ap_head));
}

// Number of slots before the first NULL; at most `limit` slots are looked at.
int count_slots(APLIST ap, int limit) {
    int n = 0;
    while (n < limit && ap[n] != nullptr) ++n;
    return n;
}

}  // namespace

int ap_free_item(void *item) {
    std::free(item);
    return 0;
}

APLIST ap_create(int no_items, PTF_int proc_destroy) {
    const int capacity = no_items > 0 ? no_items : 1;
    // Header plus capacity + 1 slots must fit in size_t (it may not on i386).
    constexpr std::size_t max_slots = (SIZE_MAX - sizeof(ap_head)) / sizeof(void *);
    if (static_cast<std::size_t>(capacity) + 1 > max_slots) return nullptr;
    const std::size_t bytes = sizeof(ap_head) + (static_cast<std::size_t>(capacity) + 1) * sizeof(void *);

    void *block = std::calloc(1, bytes);
    if (block == nullptr) return nullptr;
    auto *head = static_cast<ap_head *>(block);
    auto ap = reinterpret_cast<APLIST>(static_cast<char *>(block) + sizeof(ap_head));

    try {
        live_lists().insert(ap);
    } catch (const std::bad_alloc &) {
        std::free(block);
        return nullptr;
    }

    head->max_obj = capacity;
    if (proc_destroy != nullptr)
        head->obj_destroy = proc_destroy;
    else
        head->obj_links = 1;
    head->magic = AP_MAGIC;
    head->obj_start = ap;
    return ap;
}

struct ap_head *ap_tohead(APLIST ap) {
    if (ap == nullptr || live_lists().count(ap) == 0) return nullptr;
    ap_head *head = head_of(ap);
    return head->magic == AP_MAGIC ? head : nullptr;
}

int ap_valid(APLIST ap) {
    return ap_tohead(ap) != nullptr ? 0 : -1;
}

int ap_len(APLIST ap) {
    if (ap == nullptr) return 0;
    ap_head *head = ap_tohead(ap);
    if (head == nullptr) return count_slots(ap, INT_MAX);
    if (head->no_items != 0) return head->no_items;
    // The closing slot of a list is at index max_obj at the latest.
    head->no_items = count_slots(ap, head->max_obj);
    return head->no_items;
}

int ap_rlen(APLIST ap) {
    return ap == nullptr ? 0 : count_slots(ap, INT_MAX);
}

APLIST ap_expand(APLIST ap, int incr) {
    if (ap == nullptr) return nullptr;
    const int cnt = ap_len(ap);
    // A negative increment would leave no room for the items already held.
    if (incr < 0) incr = 0;
    if (incr > INT_MAX - cnt) return nullptr;
    APLIST grown = ap_create(cnt + incr, nullptr);
    if (grown == nullptr) return nullptr;

    for (int i = 0; i < cnt; ++i) grown[i] = ap[i];

    if (const ap_head *old = ap_tohead(ap)) {
        ap_head *head = ap_tohead(grown);
        head->no_items = old->no_items;
        head->cur_obj = old->cur_obj;
        head->obj_destroy = old->obj_destroy;
        head->obj_links = old->obj_links;
    }
    ap_del(ap);
    return grown;
}

int ap_add_item(APLIST *app, void *item) {
    if (app == nullptr || *app == nullptr) return -1;
    const int len = ap_len(*app);
    ap_head *head = ap_tohead(*app);
    if (head == nullptr) return -1;

    if (len >= head->max_obj) {
        APLIST grown = ap_expand(*app, head->max_obj);
        if (grown == nullptr) {
            // The caller's handle becomes NULL, so nobody could release the
            // old list any more: release it (and the items it owns) here.
            ap_destroy(*app);
            *app = nullptr;
            return -1;
        }
        *app = grown;
        head = ap_tohead(grown);
    }
    ++head->no_items;
    (*app)[len] = item;
    (*app)[len + 1] = nullptr;
    return 0;
}

void ap_del(APLIST ap) {
    if (ap == nullptr) return;
    ap_head *head = ap_tohead(ap);
    const int limit = head != nullptr ? head->max_obj : INT_MAX;
    for (int i = 0; i < limit && ap[i] != nullptr; ++i) ap[i] = nullptr;

    if (head != nullptr) {
        head->magic = 0;
        live_lists().erase(ap);
        std::free(head);
    } else {
        std::free(ap);
    }
}

void ap_destroy(APLIST ap) {
    if (ap == nullptr) return;
    ap_head *head = ap_tohead(ap);
    if (head == nullptr) {
        // A plain array owns heap items and is a heap block itself.
        for (int i = 0; ap[i] != nullptr; ++i) {
            std::free(ap[i]);
            ap[i] = nullptr;
        }
    } else if (head->obj_links == 0 && head->obj_destroy != nullptr) {
        if (head->no_items > 0) {
            const int n = head->no_items < head->max_obj ? head->no_items : head->max_obj;
            for (int i = 0; i < n; ++i) {
                head->obj_destroy(ap[i]);
                ap[i] = nullptr;
            }
        } else {
            for (int i = 0; i < head->max_obj && ap[i] != nullptr; ++i) {
                head->obj_destroy(ap[i]);
                ap[i] = nullptr;
            }
        }
    }
    ap_del(ap);
}
