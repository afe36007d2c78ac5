// mnttab.cc - walks the mount table and hands out its entries in the
// library's own fixed-size record.
//
// The system library parses the table (getmntent) and decides whether an
// entry is mounted read-only (hasmntopt, which matches whole options only).
// This unit only copies the parsed fields into `ssmt`, cutting each text to
// its field, so callers never depend on the system's record layout.
//
// Where "/etc/mtab" cannot be opened (a fresh container or chroot has none),
// the default table falls back to the kernel's own view, "/proc/self/mounts",
// which has the same format; a table a test names has no fallback.
//
// State: one open stream (`mtfp`, NULL while closed) and one result record
// (`ssmt`) for the whole library. A walk with ss_getmntent continues where the
// previous call stopped until ss_endmntent closes the table; every lookup
// overwrites `ssmt`. Not reentrant.
#include "ss.h"

#include <cstring>
#include <mntent.h>

struct ssmnttab ssmt;  // the one result record
FILE *mtfp;            // the open mount table, NULL while closed

namespace {

// Path of the table to read; a test may point it elsewhere (a copy is kept;
// a path too long for it reads as a missing table).
char mnttab_path[4096] = "/etc/mtab";

// Copies src into a field of N bytes, cutting it to N - 1 characters.
template <size_t N>
void copy_field(char (&field)[N], const char *src) {
    if (src == nullptr) src = "";
    size_t n = std::strlen(src);
    if (n > N - 1) n = N - 1;
    std::memcpy(field, src, n);
    field[n] = '\0';
}

bool open_table() {
    if (mtfp != nullptr) return true;
    mtfp = setmntent(mnttab_path, "r");
    if (mtfp == nullptr && std::strcmp(mnttab_path, SS_MNTTAB) == 0) mtfp = setmntent(SS_MNTTAB_KERNEL, "r");
    return mtfp != nullptr;
}

}  // namespace

struct ssmnttab *mt_copy(struct mntent *mt) {
    copy_field(ssmt.mt_dev, mt->mnt_fsname);
    copy_field(ssmt.mt_path, mt->mnt_dir);
    copy_field(ssmt.mt_fstype, mt->mnt_type);
    ssmt.mt_time = 0;
    ssmt.mt_read_only = hasmntopt(mt, "ro") != nullptr ? 1 : 0;
    return &ssmt;
}

struct ssmnttab *ss_getmntent() {
    if (!open_table()) return nullptr;
    struct mntent *mt = getmntent(mtfp);
    // At the end the table stays open: only ss_endmntent rewinds a walk.
    return mt != nullptr ? mt_copy(mt) : nullptr;
}

void ss_endmntent() {
    if (mtfp == nullptr) return;
    endmntent(mtfp);
    mtfp = nullptr;
}

struct ssmnttab *ss_getmntbyname(const char *name) {
    ss_endmntent();
    if (!open_table()) return nullptr;
    struct ssmnttab *found = nullptr;
    struct mntent *mt;
    while ((mt = getmntent(mtfp)) != nullptr) {
        if (std::strcmp(mt->mnt_fsname, name) == 0 || std::strcmp(mt->mnt_dir, name) == 0) {
            found = mt_copy(mt);
            break;
        }
    }
    ss_endmntent();
    return found;
}

void ss_setmnttab(const char *path) {
    ss_endmntent();
    if (path == nullptr) path = SS_MNTTAB;
    if (std::strlen(path) < sizeof mnttab_path) {
        std::strcpy(mnttab_path, path);
    } else {
        mnttab_path[0] = '\0';
    }
}
