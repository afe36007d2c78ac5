#include "ss.h"

// Placeholder until the filesystem-space unit lands.
int FsHasMegSpace(const char *, unsigned int, int *, uint64_t *) { return -1; }
int FsHasPrtSpace(const char *, unsigned int, int *, uint64_t *) { return -1; }
int FsCompare(const char *, const char *) { return -1; }
double FsBlocksUsed(const char *, int) { return 0.0; }
double FsMegsUsed(const char *) { return 0.0; }
double FsBlocksFree(const char *, int) { return 0.0; }
int FsIsWritable(const char *) { return 0; }
