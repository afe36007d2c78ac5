#include "kivra.h"

int kivra_main(int, char **) { return 1; }  // replaced by the command-line unit
void Usage(int) {}
