#include "ss.h"

// Placeholder.
char *to_basename(char *fname) { return fname; }
