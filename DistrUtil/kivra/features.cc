#include "kivra.h"

// Placeholder until the feature unit lands.
int add_feature(const char *) { return -1; }
char *get_feature(const char *) { return nullptr; }
int strtrim(char *) { return 0; }
char *replace_program_parms(const char *) { return nullptr; }
