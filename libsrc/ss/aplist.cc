#include "ss.h"

// Placeholder until the list unit lands.
APLIST ap_create(int, PTF_int) { return nullptr; }
int ap_add_item(APLIST *, void *) { return -1; }
APLIST ap_expand(APLIST, int) { return nullptr; }
int ap_len(APLIST) { return 0; }
int ap_rlen(APLIST) { return 0; }
void ap_del(APLIST) {}
void ap_destroy(APLIST) {}
struct ap_head *ap_tohead(APLIST) { return nullptr; }
int ap_valid(APLIST) { return -1; }
