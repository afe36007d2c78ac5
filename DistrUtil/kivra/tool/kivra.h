// kivra.h - the archive tool: roles, trailer, feature list, extraction,
// free-space check and listing. Tool units include this header, the codec
// through stream.h and the support library only through ss.h. It lives in a
// directory of its own that only tool targets have on their include path, so
// a codec unit that included it would not build.
#pragma once

#include "gzip_member.h"
#include "stream.h"

#include <cstdlib>
#include <memory>

// ---- messages and answers (messages.cc) -----------------------------------------------
// One line "<name>: <text>" on stderr, the name being progname ("kivra"
// while it is unset) or, for the _as forms, the given one. The fatal forms end
// the process with status 1 through abort_gzip, like every fatal path.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report_as(const char *who, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fail_as(const char *who, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Reads one answer line from stdin into buf: at most size - 1 characters are
// kept and the rest of a longer line is read and dropped, so that it is not
// taken as the answer to the next question. false at the end of input.
bool read_answer(char *buf, int size);

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
extern unsigned jobs;         // -j: threads of the builder; 0 until given (then: the CPUs it may run on)
constexpr unsigned MAX_JOBS = 1024;
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

// A member's size field holds its length mod 2^32 only. Where the inputs of
// a compressed archive reach 4 GiB, the builder records their exact total
// size as the feature word TOTAL_SIZE_KEY followed by the decimal number;
// smaller archives never carry it.
constexpr const char *TOTAL_SIZE_KEY = "TOTALSIZE=";
constexpr counter_t FOUR_GIB = counter_t{1} << 32;

// What the last 8 bytes of an archive tell: the trailer of its last member
// when the payload is compressed. known is false when the file cannot be
// sought (a pipe); the other fields are then 0.
struct ArchiveEnd {
    bool known;
    counter_t payload_size;  // bytes from the first payload byte to the end of the file
    ulg crc;                 // the last member's CRC-32
    ulg isize;               // the last member's length mod 2^32
    // The uncompressed size of a compressed payload: the recorded total where
    // the trailer holds one that agrees with isize, else isize.
    counter_t total;
};
// The one way to open an archive for reading its payload: finds it
// (find_preamble), reads its end into *end and leaves the descriptor at the
// payload. The stream state is made that of a fresh run: ifd and ifname name
// the archive, ofd and ofname standard output, buffers, counters, part number
// and time stamp are cleared. -1 after a message when there is no archive.
int open_archive(char *path, ArchiveEnd *end);

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
// Ends the run with status after flushing and closing standard output (a
// failure there is a write error, status 1).
[[noreturn]] void finish(int status);
// Refuses (fail) an operand longer than TEXT_MAX characters.
void check_operand(const char *name);
// Appends key + value as one feature word; fails when the word does not fit.
void add_keyed_feature(const char *key, const char *value, const char *what);

// ---- builder role (builder.cc) -------------------------------------------------------------
// Writes the archive of the count operands to standard output and ends the run.
[[noreturn]] void build(char **operands, int count);

// ---- member header reader (member_header.cc) --------------------------------------------
extern int part_nb;      // member headers read since the last reset
extern int last_member;  // always 0
// Reads a gzip member header through in_byte (the argument is not consulted).
// 8 when the input stands at the DEFLATE data; -1 after a message (exit_code 1).
int get_method(int in);

// ---- extraction driver (extraction.cc) ----------------------------------------------------
// The extract command of an archive that names none.
constexpr const char *DEFAULT_EXTRACT = "cat > %p/%o";
int do_decompress(char *program);
void export_features();

// ---- free-space check and extraction link (freespace.cc) -----------------------------------
int verify_fs(int min_mb, char *sym_path);
int mkdirp(const char *path, int mode);
// Ends what verify_fs began: removes the temporary link it made, if any, then
// gives up its lock on the fixed path. The driver calls it at its end; an
// exit handler calls it when the process ends on a fatal path first. false
// after a message ("<link>: <reason>") when the link could not be removed.
bool remove_extraction_link();

// ---- progress line on a terminal (progress.cc) ----------------------------------------------
// All do nothing unless standard error is a terminal. progress_start begins a
// line for what (and name, when not NULL) with expected bytes in all (-1:
// unknown) of which already are done; the stream layer's reads count from then
// on (progress_hook). progress_clear blanks the
// line before a message (the next report redraws it); progress_end blanks it
// for good.
void progress_start(const char *what, const char *name, counter_t expected, counter_t already);
void progress_clear();
void progress_end();

// ---- listing (listing.cc) --------------------------------------------------------------------
extern int first_time;               // the column header line is still due
extern const char *const methods[9];  // method names by header method number
void do_list(char *path);
