// basename.cc - cutting a path down to its last component in place. The
// component is moved to the front of the same buffer, so the move has to cope
// with overlapping regions.
#include "ss.h"

#include <cstring>

char *to_basename(char *fname) {
    if (fname == nullptr) return nullptr;
    const char *slash = std::strrchr(fname, '/');
    if (slash != nullptr) {
        const char *last = slash + 1;
        std::memmove(fname, last, std::strlen(last) + 1);
    }
    return fname;
}
