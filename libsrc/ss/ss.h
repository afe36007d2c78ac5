// ss.h - the support library: pointer lists and string splitting, the mount
// table and filesystem space, error reports. Programs use the library only
// through this header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

// The program's name: messages of the err_ family start with it. Its one
// definition is in the kivra_progname library, which the build links with
// this one; the program sets it at start-up.
extern char *progname;

// ---- pointer lists (aplist.cc, strsplit.cc) ------------------------------------------
// A list handle points at the first of a run of item slots; the slot after
// the last item is NULL, so a handle walks like an argument vector.
typedef int (*PTF_int)(void *);
typedef void **APLIST;

constexpr int AP_MAGIC = 13688;

struct ap_head {
    APLIST obj_start;     // the first slot (the handle itself)
    int no_items;         // item count; 0 means "not counted yet"
    int max_obj;          // capacity, not counting the closing NULL slot
    int cur_obj;          // cursor, carried over on growth
    int obj_links;        // 1: items are references the list does not own
    PTF_int obj_destroy;  // releases one item; NULL for reference lists
    PTF_int obj_dup;      // always NULL
    int magic;            // AP_MAGIC while alive, 0 after ap_del
};

APLIST ap_create(int no_items, PTF_int proc_destroy);
int ap_add_item(APLIST *app, void *item);
APLIST ap_expand(APLIST ap, int incr);
int ap_len(APLIST ap);
int ap_rlen(APLIST ap);
void ap_del(APLIST ap);
void ap_destroy(APLIST ap);
struct ap_head *ap_tohead(APLIST ap);
int ap_valid(APLIST ap);

// Release routine for lists of heap items (malloc'd strings): frees `item`.
// Lists made by ap_strsplit and charlist2ap use it.
int ap_free_item(void *item);

APLIST ap_strsplit(const char *str, const char *toksep);
int ap2charlist(APLIST *ap, char ***clist);
int charlist2ap(char **clist, APLIST *ap);

// ---- strings (strdel.cc, basename.cc) -------------------------------------------------
int strdel(char *str, int c1);
char *to_basename(char *fname);

// ---- mount table (mnttab.cc) ----------------------------------------------------------
struct ssmnttab {
    char mt_dev[128];     // device or filesystem name
    char mt_path[128];    // mount point
    char mt_fstype[32];   // filesystem type
    char mt_read_only;    // 1 when the options hold "ro"
    time_t mt_time;       // always 0
};

struct ssmnttab *ss_getmntent();
void ss_endmntent();
struct ssmnttab *ss_getmntbyname(const char *name);
struct mntent;
struct ssmnttab *mt_copy(struct mntent *mt);  // fills the library's record, returns it

// The mount table the unit reads: "/etc/mtab" unless a test points it at a
// prepared file; where "/etc/mtab" cannot be opened, the kernel's table. A NULL path restores the default; either call closes the
// table, so the next ss_getmntent starts at the first entry of the new file.
constexpr const char *SS_MNTTAB = "/etc/mtab";
constexpr const char *SS_MNTTAB_KERNEL = "/proc/self/mounts";
void ss_setmnttab(const char *path);

// ---- filesystem space (fsinfo.cc) -------------------------------------------------------
int FsHasMegSpace(const char *path, unsigned int value, int *is_root, uint64_t *megs_avl);
int FsHasPrtSpace(const char *path, unsigned int value, int *is_root, uint64_t *megs_avl);
int FsCompare(const char *p1, const char *p2);
double FsBlocksUsed(const char *path, int block_size);
double FsMegsUsed(const char *path);
double FsBlocksFree(const char *path, int block_size);
int FsIsWritable(const char *p);

// The arithmetic of FsHasMegSpace/FsHasPrtSpace on recorded statfs counts,
// so that it can be checked for block sizes no test machine has.
struct FsCounts {
    uint64_t bsize;   // f_bsize, bytes per block
    uint64_t blocks;  // f_blocks, total blocks
    uint64_t bavail;  // f_bavail, blocks free for unprivileged users
};
// Free megabytes of a filesystem with these counts (truncated).
uint64_t FsMegsAvail(const FsCounts &c);
// opts 2: 1 when at least value megabytes are free; opts 1: 1 when at least
// value percent of the blocks are free; 0 when not; -1 for any other opts.
// *megs_avl receives FsMegsAvail(c) in every case.
int FsJudge(int opts, const FsCounts &c, unsigned int value, uint64_t *megs_avl);

// ---- error reports (err.cc) ---------------------------------------------------------------
extern FILE *_Errstrm;  // NULL: standard error
extern FILE *Catstrm;   // catalog stream
extern int er_catalog;  // copy messages to Catstrm when non-zero

void err_sys(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_quit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void err_ret(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_dump(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void err_open(const char *file, const char *mode);
