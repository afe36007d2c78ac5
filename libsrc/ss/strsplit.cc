#include "ss.h"

// Placeholder until the splitter lands.
APLIST ap_strsplit(const char *, const char *) { return nullptr; }
int ap2charlist(APLIST *, char ***clist) { *clist = nullptr; return 0; }
int charlist2ap(char **, APLIST *ap) { *ap = nullptr; return 0; }
