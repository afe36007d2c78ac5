#include "ss.h"

// Placeholder.
int strdel(char *, int) { return 0; }
