// features.cc - the feature list and the placeholders of the archive's commands.
//
// The feature list (the features buffer) is a comma-separated list of words,
// bare flags ("NOCOMPR") or KEY=value words ("VFYFS=/tmp"), looked up by plain
// substring. The two shell commands of an archive may hold the placeholders
// "%o" (the output name, ofname) and "%p" (the working directory); their values
// come from the archive's data and the user's file system, so they are quoted
// for the shell according to where the placeholder stands in the command: the
// shell must read exactly the value, whatever characters it holds.
//
// Buffers are never overrun: a word that would make the list longer than
// TEXT_MAX, or an expansion longer than EXPAND_BUF - 1, is refused with a
// one-line message.
#include "kivra.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

char fstr[FEATURE_WORD_MAX + 1];  // latest get_feature result; last byte stays NUL
char *buf;                        // latest replace_program_parms block (owned by the caller)

// Characters that the shell takes literally outside quotes.
bool shell_literal(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("/._-+,:@=%", c) != nullptr && c != '\0';
}

// Where a position of a shell command stands.
enum class Quoting { none, single, dbl };

// Builds the expansion into a 2048-byte block, failing instead of growing past it.
class Expansion {
public:
    explicit Expansion(char *block) : out_(block) {}
    bool put(char c) {
        if (len_ >= EXPAND_BUF - 1) return false;
        out_[len_++] = c;
        return true;
    }
    bool put(std::string_view s) {
        for (char c : s)
            if (!put(c)) return false;
        return true;
    }
    // Appends value so that the shell, reading it at a position with quoting q,
    // takes exactly the value's characters.
    bool put_value(std::string_view v, Quoting q) {
        switch (q) {
        case Quoting::none: {
            bool literal = true;
            for (char c : v) literal = literal && shell_literal(c);
            if (literal) return put(v);
            if (!put('\'')) return false;
            for (char c : v)
                if (!(c == '\'' ? put("'\\''") : put(c))) return false;
            return put('\'');
        }
        case Quoting::dbl:
            for (char c : v) {
                if ((c == '"' || c == '\\' || c == '$' || c == '`') && !put('\\')) return false;
                if (!put(c)) return false;
            }
            return true;
        case Quoting::single:
            for (char c : v)
                if (!(c == '\'' ? put("'\\''") : put(c))) return false;
            return true;
        }
        return false;
    }

private:
    char *out_;
    unsigned len_ = 0;
};

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

// Cuts trailing blanks, tabs, line feeds and carriage returns in place and
// returns the remaining length. Leading blanks stay.
int strtrim(char *s) {
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r'))
        s[--n] = '\0';
    return static_cast<int>(n);
}

// Expands "%o" (ofname) and "%p" (the working directory) in pgm into a new
// zero-filled EXPAND_BUF block that the caller frees. '%' followed by any other
// character, and a final '%', stay as they are. While scanning, the routine
// follows the command's quoting (single quotes, double quotes, backslash
// escapes) and quotes each value for the place it stands in; a placeholder
// right after an escaping backslash is preceded by a line feed, which turns
// that backslash into a line continuation that the shell drops.
// Returns NULL after a message when the result would exceed EXPAND_BUF - 1
// characters, the working directory cannot be had, or memory runs out.
char *replace_program_parms(const char *pgm) {
    char *block = static_cast<char *>(std::calloc(EXPAND_BUF, 1));
    if (block == nullptr) {
        report("out of memory");
        return nullptr;
    }
    buf = block;
    Expansion out(block);
    Quoting q = Quoting::none;
    bool escaped = false;  // the previous character was an escaping backslash

    auto fail = [&](const char *why) -> char * {
        report("cannot expand command \"%s\": %s", pgm, why);
        std::free(block);
        return nullptr;
    };
    constexpr const char *too_long = "result longer than 2047 characters";

    for (const char *s = pgm; *s != '\0';) {
        char c = *s;
        if (c == '%' && (s[1] == 'o' || s[1] == 'p')) {
            char cwd[EXPAND_BUF];
            std::string_view value;
            if (s[1] == 'o') {
                value = ofname;
            } else {
                if (getcwd(cwd, sizeof cwd) == nullptr) {
                    char why[128];
                    std::snprintf(why, sizeof why, "cannot get the working directory: %s",
                                  std::strerror(errno));
                    return fail(why);
                }
                value = cwd;
            }
            if (escaped && !out.put('\n')) return fail(too_long);
            if (!out.put_value(value, q)) return fail(too_long);
            escaped = false;
            s += 2;
            continue;
        }
        if (c == '%' && s[1] != '\0') {
            // Not a placeholder: '%' and the next character both stay, and that
            // character counts for the quoting like any other ("%%o" is no "%o").
            if (!out.put(c)) return fail(too_long);
            escaped = false;
            s++;
            c = *s;
        }
        if (!out.put(c)) return fail(too_long);
        s++;
        if (escaped) {
            escaped = false;
            continue;
        }
        switch (q) {
        case Quoting::none:
            if (c == '\\') escaped = true;
            else if (c == '\'') q = Quoting::single;
            else if (c == '"') q = Quoting::dbl;
            break;
        case Quoting::dbl:
            if (c == '\\') escaped = true;
            else if (c == '"') q = Quoting::none;
            break;
        case Quoting::single:
            if (c == '\'') q = Quoting::none;
            break;
        }
    }
    return block;
}
