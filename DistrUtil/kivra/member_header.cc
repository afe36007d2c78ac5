#include "kivra.h"

// Placeholder until the header reader lands.
int part_nb;
int last_member;
int get_method(int) { return -1; }
