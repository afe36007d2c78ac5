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
#include <optional>
#include <string_view>
#include <vector>

// ---- messages and answers (messages.cc) -----------------------------------------------
// One line "<name>: <text>" on stderr, the name being progname ("kivra"
// while it is unset) or, for the _as forms, the given one. The fatal forms end
// the process with status 1 through abort_gzip, like every fatal path.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report_as(const char *who, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fail_as(const char *who, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// "<who>: <reason for errno>", or the reason alone when who is empty: the
// bytes perror(who) writes.
void report_errno(const char *who);
// "\n<who>: <text>": a report on a line of its own after the payload's output.
void report_apart(const char *who, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// "\n<progname>: <text>", then the end of the run: the form of the codec's
// fatal reports, for the tool's faults in what it decodes.
[[noreturn]] void fail_apart(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
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
extern int skip_payload_check;  // -s: stream the payload without checking it first
// The words after "--" on an extraction's command line: the run program's
// positional parameters (run_shell), none without "--".
extern char **run_args;
extern int run_arg_count;
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
// four trailer strings loaded; -1 when it is no archive, PREAMBLE_NOT_FILE
// after a message when it is no regular file (see trailer.cc).
constexpr int PREAMBLE_NOT_FILE = -2;
int find_preamble(char *program);
// Writes stub and trailer to fd completely: 0, or -1 after a message.
int build_preamble(char *program, int fd);

// A member's size field holds its length mod 2^32 only. Where the inputs of
// a compressed archive reach 4 GiB, the builder records their exact total
// size as the feature word TOTAL_SIZE_KEY followed by the decimal number;
// smaller archives never carry it.
constexpr const char *TOTAL_SIZE_KEY = "TOTALSIZE=";
constexpr counter_t FOUR_GIB = counter_t{1} << 32;

// What the last 8 bytes of an archive's payload tell: the trailer of its last member
// when the payload is compressed. known is false when the file cannot be
// sought (a pipe); the other fields are then 0.
struct ArchiveEnd {
    bool known;
    counter_t payload_size;  // bytes from the first payload byte to the payload's end (payload_end)
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

// ---- feature list (features.cc) ---------------------------------------------------------
// The words the tool itself writes and reads. A key includes its '='.
constexpr const char *NOCOMPR_FLAG = "NOCOMPR";  // the payload is stored raw
constexpr const char *NAME_KEY = "NAME=";        // base name of the first input
constexpr const char *VFYFS_KEY = "VFYFS=";      // filesystem that must have room
constexpr const char *FSSUB_KEY = "FSSUB=";      // extraction sub-directory under it
constexpr unsigned FEATURE_WORD_MAX = 255;  // longest word get_feature returns, and the builder writes
int add_feature(const char *f);   // 0, or -1 after a message when the list would overflow
// The word that the first occurrence of f as a plain substring of the list
// starts (see features.cc).
char *get_feature(const char *f);
int strtrim(char *s);
// The words of the list in order, as stored: the text between commas, empty
// words included (none for an empty list). Quotes and backslashes are
// ordinary characters. Views into features.
std::vector<std::string_view> feature_words();
// The text after key of the first word that begins with key (a whole word's
// key, unlike get_feature's substring match), as stored; nullopt when no word
// does.
std::optional<std::string_view> feature_value(std::string_view key);

// ---- placeholders of the commands (placeholders.cc) ---------------------------------------
// "%o" and "%p" become references to these variables, which hold the output
// name and the working directory in the environment of the commands.
constexpr const char *NAME_VAR = "KIVRA_FILE";
constexpr const char *DIR_VAR = "KIVRA_DIR";
constexpr unsigned EXPAND_BUF = 2048;  // the shown form holds at most EXPAND_BUF - 1 characters
// The command to run (caller frees) after setting NAME_VAR and DIR_VAR; with
// shown, also the command with the values inserted, for the user's eyes.
// NULL after a one-line message.
char *replace_program_parms(const char *pgm, char **shown = nullptr);
// The builder's check of a command it stores: false after a one-line message
// "<what> "<command>": <reason>" when a placeholder stands where it cannot.
bool check_program_parms(const char *pgm, const char *what);

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
// Runs the shell command text cmd as "/bin/sh -c cmd kivra args...": the
// nargs words of args are its positional parameters exactly as given, never
// read by a shell. The command inherits this process's environment (environ)
// and is waited for as system() waits for its command: SIGINT and SIGQUIT
// are ignored and SIGCHLD blocked meanwhile, and the command starts with the
// signal mask and dispositions system() would give it. Returns the wait
// status, or -1 when no shell could be started.
int run_shell(const char *cmd, char *const *args, int nargs);

// ---- free-space check and extraction link (freespace.cc) -----------------------------------
// The free-space check's path texts hold at most LINK_PATH_BUF - 1
// characters; sym_path, where verify_fs leaves the link it made, is a buffer
// of LINK_PATH_BUF bytes.
constexpr unsigned LINK_PATH_BUF = 512;
int verify_fs(int min_mb, char *sym_path);
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

// ---- signed archives (signature.cc) -------------------------------------------------------
extern char signing_key[TEXT_BUF];   // -K: the key the builder signs with (ssh-keygen -f)
extern char trusted_keys[TEXT_BUF];  // -k: file of public keys an archive must be signed by
// The archive opened last (open_archive) is signed: its trailer says so or
// its file ends in its own signature block. Once check_signature has passed
// for it, every byte of its payload is the one signed: it needs no second check.
bool archive_signed();
// Where the payload of the archive open at fd ends: PAYLOAD_TO_END for an
// unsigned one, the first byte of the signature block for a signed one, whose
// block is read and parsed here. -2 after a message when that block is missing
// or malformed. open_archive calls it; the file offset is kept.
constexpr long long PAYLOAD_TO_END = -1;
long long payload_end(int fd, const char *path);
// Before anything else of an extraction or a listing with -k: a signed
// archive must verify (against the key in its signature, or with -k against
// one of the named keys); with -k an unsigned one is refused. 0, or -1 after
// one line naming the file and the reason. Reads the signed bytes once.
int check_signature(int fd, const char *path);
// The listing's line about a signed archive (nothing for an unsigned one);
// verdict is check_signature's result when -k was given.
void list_signature(int verdict);
// The builder: prepare_signing loads the -K key (fails on a key that is not
// Ed25519) and adds the word SIGNED, before anything is written;
// start_signing starts ssh-keygen, which then reads along everything written
// to out; finish_signing appends its checked signature. Failures end the run.
void prepare_signing();
void start_signing(int out);
void finish_signing(int out);

// ---- listing (listing.cc) --------------------------------------------------------------------
extern int first_time;               // the column header line is still due
extern const char *const methods[9];  // method names by header method number
void do_list(char *path);
