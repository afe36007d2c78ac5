// progname.cc - the program's name, the first word of every message.
//
// It has a unit and a library of its own because two layers print it: the
// codec's fatal paths and the support library's err_ family. Both link this
// one definition, so neither depends on the other for it. kivra_main sets it
// from argv[0] before anything else runs.
#include "stream.h"

char *progname;
