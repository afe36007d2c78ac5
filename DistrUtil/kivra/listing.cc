#include "kivra.h"

// Placeholder until the listing lands.
void do_list(char *) { exit_code = 1; }
