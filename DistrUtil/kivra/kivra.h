// kivra.h - the archive tool: roles, trailer, feature list, extraction,
// free-space check and listing. Tool units include this header, the codec
// through stream.h and the support library only through ss.h.
#pragma once

#include "stream.h"

#include <cstdlib>
#include <memory>

// Little-endian 32-bit number at p: the fields of a member trailer.
inline ulg get_le32(const uch *p) {
    return static_cast<ulg>(p[0]) | static_cast<ulg>(p[1]) << 8 | static_cast<ulg>(p[2]) << 16 |
           static_cast<ulg>(p[3]) << 24;
}

// A malloc'ed block released when its holder goes out of scope.
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using HeapBlock = std::unique_ptr<char, FreeDeleter>;

// ---- text buffers (globals.cc) ------------------------------------------------
// Each holds at most TEXT_MAX characters and its NUL.
constexpr unsigned TEXT_BUF = 1024;
constexpr unsigned TEXT_MAX = TEXT_BUF - 1;

extern char run_program[TEXT_BUF];     // shell command run after extraction
extern char pipe_program[TEXT_BUF];    // extract command, reads the payload on stdin
extern char comment[TEXT_BUF];         // archive comment
extern char features[TEXT_BUF];        // comma-separated feature list
extern char kivra_path[TEXT_BUF];      // executable copied as the archive's stub
extern char uncompress_dir[TEXT_BUF];  // -t: directory on another filesystem

// ---- flags (globals.cc) -----------------------------------------------------------
extern int list;              // -l
extern int to_stdout;         // -c (and -x in the extraction driver)
extern int extract_only;      // -x
extern int dont_run_program;  // -n
extern int verbose;           // -v
extern const char scid[64];   // version string
extern const char *F_OEM;     // "QM_VENDOR="

// ---- trailer (trailer.cc) -------------------------------------------------------------
extern long long preamble_end;  // file offset of the first payload byte of the last archive found
// Path under which ref is an executable file (static, overwritten by the next
// call), ref itself when it starts with '.', or NULL.
char *find_program(char *ref);
// Descriptor of the archive program names, positioned at its payload, with the
// four trailer strings loaded; -1 when it is no archive (see trailer.cc).
int find_preamble(char *program);
// Writes stub and trailer to fd completely: 0, or -1 after a message.
int build_preamble(char *program, int fd);

// ---- feature list and placeholders (features.cc) --------------------------------------
constexpr unsigned FEATURE_WORD_MAX = 255;  // longest word get_feature returns
constexpr unsigned EXPAND_BUF = 2048;        // replace_program_parms result block
int add_feature(const char *f);   // 0, or -1 after a message when the list would overflow
char *get_feature(const char *f);
int strtrim(char *s);
char *replace_program_parms(const char *pgm);  // caller frees; NULL after a message

// ---- command line (cmdline.cc) ---------------------------------------------------------
void Usage(int is_compressed);
int kivra_main(int argc, char **argv);  // main() in main.cc calls only this

// ---- member header reader (member_header.cc) --------------------------------------------
extern int part_nb;      // member headers read since the last reset
extern int last_member;  // always 0
// Reads a gzip member header through in_byte (the argument is not consulted).
// 8 when the input stands at the DEFLATE data; -1 after a message (exit_code 1).
int get_method(int in);

// ---- extraction driver (extraction.cc) ----------------------------------------------------
int do_decompress(char *program);
void export_features();

// ---- free-space check and extraction link (freespace.cc) -----------------------------------
int verify_fs(int min_mb, char *sym_path);
int mkdirp(const char *path, int mode);
// Removes the temporary link verify_fs made, if any, and forgets it. The
// driver calls it at its end; an exit handler registered with the link calls
// it when the process ends on a fatal path first.
void remove_extraction_link();

// ---- progress line on a terminal (progress.cc) ----------------------------------------------
// All do nothing unless standard error is a terminal. progress_start begins a
// line for what (and name, when not NULL) with expected bytes in all (-1:
// unknown) of which already are done; the codec's reads count from then on
// (progress_hook), raw copies through progress_add. progress_clear blanks the
// line before a message (the next report redraws it); progress_end blanks it
// for good.
void progress_start(const char *what, const char *name, counter_t expected, counter_t already);
void progress_add(counter_t n);
void progress_clear();
void progress_end();

// ---- listing (listing.cc) --------------------------------------------------------------------
extern int first_time;               // the column header line is still due
extern const char *const methods[9];  // method names by header method number
void do_list(char *path);
