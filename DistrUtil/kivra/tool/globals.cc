// globals.cc - the tool's process-wide text buffers and flags. They live for
// the whole run and start cleared; kivra_main (cmdline.cc) clears the six
// text buffers again before it reads the command line.
#include "kivra.h"

char run_program[TEXT_BUF];
char pipe_program[TEXT_BUF];
char comment[TEXT_BUF];
char features[TEXT_BUF];
char kivra_path[TEXT_BUF];
char uncompress_dir[TEXT_BUF];

int list;
int to_stdout;
int extract_only;
int dont_run_program;
int verbose;
int skip_payload_check;
char **run_args;
int run_arg_count;
unsigned jobs;

// "@(#) kivra 1.2.1    6/6/2001 ", NUL-padded to 64 bytes.
const char scid[64] = "@(#) kivra 1.2.1    6/6/2001 ";
const char *F_OEM = "QM_VENDOR=";
