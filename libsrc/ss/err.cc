#include "ss.h"
#include <cstdlib>

// Placeholder until the error-report unit lands.
FILE *_Errstrm;
FILE *Catstrm;
int er_catalog;
void err_sys(const char *, ...) {}
void err_quit(const char *, ...) { exit(255); }
void err_ret(const char *, ...) {}
void err_dump(const char *, ...) { abort(); }
void err_open(const char *, const char *) {}
