// strsplit.cc - splitting a text into a list of fields, and converting
// between lists and plain NULL-terminated string arrays.
//
// ap_strsplit scans a private copy of the text and cuts it in place: a field
// ends where a separator stands (the separator is overwritten with NUL) and a
// copy of it goes into the list, which owns its strings. Double quotes group
// text containing separators; a backslash makes the next character ordinary.
// Every result list is released with ap_destroy.
#include "ss.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_separator(char c, const char *toksep) {
    return c != '\0' && toksep != nullptr && std::strchr(toksep, c) != nullptr;
}

// Appends a copy of `field` to `*list`, first dropping its backslashes when
// `unescape` is set. On failure the list is released, *list is NULL and the
// result is -1.
int append_copy(APLIST *list, const char *field, bool unescape) {
    char *copy = strdup(field);
    if (copy == nullptr) {
        ap_destroy(*list);
        *list = nullptr;
        return -1;
    }
    if (unescape) strdel(copy, '\\');
    if (ap_add_item(list, copy) != 0) {
        std::free(copy);
        return -1;  // ap_add_item has already released the list
    }
    return 0;
}

}  // namespace

APLIST ap_strsplit(const char *str, const char *toksep) {
    APLIST list = ap_create(5, ap_free_item);
    if (list == nullptr) return nullptr;
    if (str == nullptr || *str == '\0') return list;

    char *text = strdup(str);
    if (text == nullptr) {
        // An empty list would pass for "no fields": report the shortage.
        ap_destroy(list);
        return nullptr;
    }

    char *start = text;    // start of the current field
    bool quoted = false;   // inside a double-quoted stretch
    bool escaped = false;  // a backslash occurred in the current field
    char *p = text;
    while (*p != '\0') {
        if (*p == '\\') {
            if (p[1] == '\0') break;  // a trailing backslash stays in the field
            escaped = true;
            p += 2;
            continue;
        }
        if (*p == '"' && !escaped && !quoted) {
            // Opening quote: whatever the field held before it is dropped.
            start = p + 1;
            quoted = true;
            ++p;
            continue;
        }
        if (*p == '"' && !escaped) {
            // Closing quote: this and every later double quote disappear.
            strdel(p, '"');
            quoted = false;
            if (is_separator(*p, toksep)) {
                *p = '\0';
                if (append_copy(&list, start, false) != 0) break;
                escaped = false;
                start = ++p;
            } else if (*p == '\0') {
                if (append_copy(&list, start, false) != 0) break;
                start = p;  // nothing left for the final field
            } else {
                ++p;  // the character now here belongs to the field as it is
            }
            continue;
        }
        if (!quoted && is_separator(*p, toksep)) {
            *p = '\0';
            if (append_copy(&list, start, escaped) != 0) break;
            quoted = false;
            escaped = false;
            start = ++p;
            continue;
        }
        ++p;
    }

    if (list != nullptr && *start != '\0') append_copy(&list, start, escaped);
    std::free(text);
    return list;
}

int ap2charlist(APLIST *ap, char ***clist) {
    *clist = nullptr;
    if (ap == nullptr || *ap == nullptr) return 0;
    const int len = ap_len(*ap);
    if (len == 0) return 0;

    auto strings = static_cast<char **>(std::calloc(static_cast<std::size_t>(len) + 1, sizeof(char *)));
    if (strings == nullptr) return len;
    for (int i = 0; i < len && (*ap)[i] != nullptr; ++i) {
        strings[i] = strdup(static_cast<const char *>((*ap)[i]));
        if (strings[i] == nullptr) {
            // Same signal as a failed array: no array, the count still given.
            for (int j = 0; j < i; ++j) std::free(strings[j]);
            std::free(strings);
            return len;
        }
    }
    *clist = strings;
    return len;
}

int charlist2ap(char **clist, APLIST *ap) {
    *ap = nullptr;
    APLIST list = ap_create(5, ap_free_item);
    if (list == nullptr) return -1;
    for (int i = 0; clist != nullptr && clist[i] != nullptr; ++i)
        if (append_copy(&list, clist[i], false) != 0) return -1;

    const int len = ap_len(list);
    if (len == 0) {
        ap_destroy(list);
        return 0;
    }
    *ap = list;
    return len;
}
