// features.cc - the feature list: a comma-separated list of words, bare flags
// ("NOCOMPR") or KEY=value words ("VFYFS=/tmp"), looked up by plain substring.
// The placeholders of the archive's commands live in placeholders.cc.
//
// Buffers are never overrun: a word that would make the list longer than
// TEXT_MAX is refused with a one-line message.
#include "kivra.h"

#include <cstring>

namespace {

char fstr[FEATURE_WORD_MAX + 1];  // latest get_feature result; last byte stays NUL

}  // namespace

// Appends one or more words to the list, with a comma before them unless the
// list is empty. An empty word on a non-empty list leaves a trailing comma.
// Returns 0, or -1 after a message when the list would exceed TEXT_MAX.
int add_feature(const char *f) {
    size_t have = std::strlen(features);
    size_t add = std::strlen(f);
    size_t sep = have != 0 ? 1 : 0;
    if (have + sep + add > TEXT_MAX) {
        report("feature list longer than %u characters: cannot add \"%s\"", TEXT_MAX, f);
        return -1;
    }
    if (sep) features[have++] = ',';
    std::memcpy(features + have, f, add + 1);
    return 0;
}

// The word of the list that starts with the first occurrence of f as a plain
// substring, cut at the next comma (and then trimmed), at most
// FEATURE_WORD_MAX characters; NULL when f does not occur. The result lives in
// a static buffer overwritten by the next call.
char *get_feature(const char *f) {
    const char *hit = std::strstr(features, f);
    if (hit == nullptr) return nullptr;
    std::strncpy(fstr, hit, FEATURE_WORD_MAX);
    fstr[FEATURE_WORD_MAX] = '\0';
    if (char *comma = std::strchr(fstr, ','); comma != nullptr) {
        *comma = '\0';
        strtrim(fstr);
    }
    return fstr;
}

std::vector<std::string_view> feature_words() {
    std::vector<std::string_view> words;
    if (features[0] == '\0') return words;
    for (std::string_view rest = features;;) {
        const size_t comma = rest.find(',');
        words.push_back(rest.substr(0, comma));
        if (comma == std::string_view::npos) return words;
        rest.remove_prefix(comma + 1);
    }
}

std::optional<std::string_view> feature_value(std::string_view key) {
    for (std::string_view word : feature_words())
        if (word.starts_with(key)) return word.substr(key.size());
    return std::nullopt;
}

// Cuts trailing blanks, tabs, line feeds and carriage returns in place and
// returns the remaining length. Leading blanks stay.
int strtrim(char *s) {
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r'))
        s[--n] = '\0';
    return static_cast<int>(n);
}
