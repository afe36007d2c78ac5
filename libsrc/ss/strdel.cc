// strdel.cc - removing every occurrence of one character from a string in
// place. Characters compare by their signed value, so a byte above 127 only
// matches a negative `c1`.
#include "ss.h"

int strdel(char *str, int c1) {
    if (str == nullptr) return 0;
    char *out = str;
    int removed = 0;
    for (const char *in = str; *in != '\0'; ++in) {
        if (static_cast<signed char>(*in) == c1)
            ++removed;
        else
            *out++ = *in;
    }
    *out = '\0';
    return removed;
}
