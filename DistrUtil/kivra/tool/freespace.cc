// freespace.cc - makes sure the place an archive unpacks to has room before
// the extract command starts.
//
// The extract command writes to a fixed directory, FSSUB under the VFYFS
// filesystem ("the fixed path"). When that filesystem lacks room, the check
// creates the directory on a filesystem that has it (the -t directory, or the
// first writable mount-table entry with room) and makes the fixed path a
// temporary symbolic link to it, so the unchanged extract command lands
// there. The link is remembered here and removed by the driver at its end, or
// by an exit handler when the process ends early (a fatal decoding error), so
// no stale link ever blocks the next attempt.
//
// One extraction at a time per fixed path: two at once would share, or
// remove, each other's directory or link. The check takes an exclusive lock
// (flock) and holds it until the driver ends, after the link is gone; a second
// run says once that it waits, and waits. The lock is a file of mode 0600 in
// the directory that holds the fixed path, owned by the user running the
// archive: no other user can open it, so none can hold it, and none can create
// it where only that user (or root) may write. Where the directory is missing
// or not writable, no link can be made there and nothing is locked or said.
//
// Nobody else may steer the link. The directory the link points to is made
// with mkdir (an existing one "already exists") by a walk from "/" that opens
// each directory on the way without following a link, creates missing ones,
// and refuses one that a user other than the one running the archive (or
// root) owns, or may write to without the sticky bit: such a user could swap a
// directory for a link after the check. The fixed path is cleared and the link
// made relative to the descriptor of its directory, opened once.
//
// Every working text has a fixed size; a text that would not fit fails the
// check with a one-line message instead of being cut into another path. The
// fixed path is cleared without a shell: a link or file there is removed, an
// empty directory too, a non-empty directory is never touched.
#include "kivra.h"
#include "ss.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The extraction directory (or the fixed path) holds something that must not
// be touched: the user has to clear it.
void report_directory_exists(const char *dir) {
    report_as(dir, "extraction directory exists!\nPlease remove it first then try again.");
}

constexpr size_t FS_BUF = 128;      // VFYFS value
constexpr size_t FSSUB_BUF = 256;   // FSSUB value
constexpr size_t PATH_BUF = LINK_PATH_BUF;  // path, fullpath, native_path, sym_path
constexpr size_t DIRS_MAX = 254;    // longest path make_dirs walks
constexpr size_t ANS_BUF = 5;       // answer to the link prompt
constexpr mode_t LOCK_MODE = 0600;  // only its owner can open the lock file

// The fixed path, as the directory that holds it (a descriptor, -1 when it
// cannot be opened) and its last component.
int fixed_dir = -1;
int fixed_dir_error;  // why it could not be opened (errno)
char fixed_dir_path[PATH_BUF];  // for messages
char fixed_name[PATH_BUF];
char lock_name[32];  // ".kivra-<hash of fixed_name>.lock" in fixed_dir
int lock_fd = -1;

// The link this process made (its path, for messages), removed on every exit
// path.
char made_link[PATH_BUF];

// false after a message naming the link and the reason when it could not be
// removed; a link already gone counts as removed.
bool remove_made_link() {
    if (made_link[0] == '\0') return true;
    const bool removed = unlinkat(fixed_dir, fixed_name, 0) == 0 || errno == ENOENT;
    if (!removed) report_errno(made_link);
    made_link[0] = '\0';
    return removed;
}

// Gives up the lock (its holder removes the file first) and the fixed
// path's directory.
void release_fixed_dir() {
    if (lock_fd >= 0) {
        unlinkat(fixed_dir, lock_name, 0);
        close(lock_fd);
        lock_fd = -1;
    }
    if (fixed_dir >= 0) close(fixed_dir);
    fixed_dir = -1;
}

// Exit handler: the link goes first, then the lock.
void end_extraction_at_exit() { remove_extraction_link(); }

constexpr int LOCKED = 0;
constexpr int LOCK_AGAIN = -1;  // the file locked is no longer in place
constexpr int LOCK_NONE = -2;   // no lock file can be made here; none is needed

// LOCKED, LOCK_AGAIN, LOCK_NONE, or the reason the lock cannot be had (an
// errno value).
int try_lock(bool *said_wait, const char *key) {
    if (fixed_dir < 0) return LOCK_NONE;
    struct stat held, now;
    lock_fd = openat(fixed_dir, lock_name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                     LOCK_MODE);
    if (lock_fd < 0) {
        const int err = errno;
        // Not allowed to create it: no link can be made here either.
        if ((err == EACCES || err == EROFS || err == EPERM) &&
            fstatat(fixed_dir, lock_name, &now, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            return LOCK_NONE;
        return err;
    }
    if (fstat(lock_fd, &held) != 0) return errno;
    if (!S_ISREG(held.st_mode) || held.st_uid != geteuid() || (held.st_mode & 077) != 0) return EPERM;
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return errno;
        if (!*said_wait && !quiet) report("waiting for another extraction into %s to end", key);
        *said_wait = true;
        while (flock(lock_fd, LOCK_EX) != 0) {
            if (errno != EINTR) return errno;
        }
    }
    if (fstatat(fixed_dir, lock_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
        now.st_ino == held.st_ino)
        return LOCKED;
    return LOCK_AGAIN;
}

// Opens the directory that holds native_path and holds the lock for it,
// waiting for it (and saying so once, naming key) when another run has it.
// false after "cannot lock <file>: <reason>" when a lock file that is not
// this user's own stands in the way.
bool lock_fixed_path(const char *native_path, const char *key) {
    release_fixed_dir();  // what an earlier check in this process held
    [[maybe_unused]] static const int exit_handler = std::atexit(end_extraction_at_exit);

    // native_path without trailing '/': directory part and last component.
    std::snprintf(fixed_dir_path, sizeof fixed_dir_path, "%s", native_path);
    for (size_t n = std::strlen(fixed_dir_path); n > 1 && fixed_dir_path[n - 1] == '/';) fixed_dir_path[--n] = '\0';
    char *slash = std::strrchr(fixed_dir_path, '/');
    std::snprintf(fixed_name, sizeof fixed_name, "%s", slash != nullptr ? slash + 1 : fixed_dir_path);
    if (slash == nullptr) {
        std::strcpy(fixed_dir_path, ".");
    } else {
        if (slash == fixed_dir_path) slash++;  // the directory is "/"
        *slash = '\0';
    }
    fixed_dir = open(fixed_dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fixed_dir_error = errno;

    uint64_t h = 14695981039346656037ULL;  // FNV-1a, 64 bits
    for (const char *c = fixed_name; *c != '\0'; c++) h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ULL;
    std::snprintf(lock_name, sizeof lock_name, ".kivra-%016llx.lock", static_cast<unsigned long long>(h));

    bool said_wait = false;
    int err;
    while ((err = try_lock(&said_wait, key)) == LOCK_AGAIN) close(lock_fd);
    if (err == LOCKED) return true;
    if (lock_fd >= 0) close(lock_fd);
    lock_fd = -1;
    if (err == LOCK_NONE) return true;
    report("cannot lock %s/%s: %s", std::strcmp(fixed_dir_path, "/") == 0 ? "" : fixed_dir_path, lock_name,
           std::strerror(err));
    return false;
}

// A directory that no user but the one running the archive, and root, can
// change: owned by one of them, and writable by nobody else unless the sticky
// bit keeps others from removing or renaming what is not theirs.
bool trusted(const struct stat &st) {
    const bool owner_ok = st.st_uid == geteuid() || st.st_uid == 0;
    return owner_ok && ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

constexpr int DIR_EXISTS = -2;     // the last directory was there already
constexpr int DIR_UNTRUSTED = -3;  // refused after a message

// Walks the absolute path from "/" as the unit comment says, creating missing
// directories with mode; with fresh_last the last one must be made here.
// 0, DIR_EXISTS, DIR_UNTRUSTED, or -1 with errno set.
int make_dirs(const char *path, mode_t mode, bool fresh_last) {
    if (path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    const size_t len = std::strlen(path);
    if (len > DIRS_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char prefix[DIRS_MAX + 1];
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; fd >= 0;) {
        struct stat st;
        if (fstat(fd, &st) != 0) break;
        std::memcpy(prefix, path, i == 0 ? 1 : i);
        prefix[i == 0 ? 1 : i] = '\0';
        if (!trusted(st)) {
            close(fd);
            report_as(prefix, "owned or writable by another user, not used");
            return DIR_UNTRUSTED;
        }
        while (path[i] == '/') i++;
        const size_t n = std::strcspn(path + i, "/");
        if (n == 0) {  // the path ends here
            close(fd);
            return 0;
        }
        char name[DIRS_MAX + 1];
        std::memcpy(name, path + i, n);
        name[n] = '\0';
        i += n;
        const bool must_make = fresh_last && path[i + std::strspn(path + i, "/")] == '\0';
        constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        bool made = false;
        int next = must_make ? -1 : openat(fd, name, DIR_FLAGS);
        if (next < 0 && (must_make || errno == ENOENT)) {
            made = mkdirat(fd, name, mode) == 0;
            if (!made && (must_make || errno != EEXIST)) {
                const int err = errno;
                close(fd);
                if (err == EEXIST) return DIR_EXISTS;
                errno = err;
                return -1;
            }
            next = openat(fd, name, DIR_FLAGS);
        }
        const int err = errno;
        struct stat link;
        const bool is_link = next < 0 && fstatat(fd, name, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
        close(fd);
        if (is_link) {
            std::memcpy(prefix, path, i);
            prefix[i] = '\0';
            report_as(prefix, "symbolic link, not followed");
            return DIR_UNTRUSTED;
        }
        errno = err;
        fd = next;
        if (made && fd >= 0) fchmod(fd, mode);  // the creation mask must not narrow it
    }
    if (fd >= 0) close(fd);
    return -1;
}

// Joins a, "/" (unless sep is false) and b into out of PATH_BUF bytes; false
// when the result would not fit.
bool join(char *out, const char *a, bool sep, const char *b) {
    int n = std::snprintf(out, PATH_BUF, "%s%s%s", a, sep ? "/" : "", b);
    return n >= 0 && static_cast<size_t>(n) < PATH_BUF;
}

// One-line refusal of a path that does not fit its working buffer.
void path_too_long(const char *head) { report("path too long: %s/...", head); }

// Removes one trailing '/' in place.
void strip_slash(char *s) {
    size_t n = std::strlen(s);
    if (n > 0 && s[n - 1] == '/') s[n - 1] = '\0';
}

// Copies the value of a feature word (the text after its first '=', the whole
// word without one) into out of size bytes; false when it does not fit. A word
// longer than get_feature returns would come back cut short, so it does not
// fit either.
bool feature_value(const char *key, char *out, size_t size) {
    const char *word = get_feature(key);
    if (word == nullptr) return false;
    if (std::strcspn(std::strstr(features, key), ",") > FEATURE_WORD_MAX) return false;
    const char *eq = std::strchr(word, '=');
    const char *value = eq != nullptr ? eq + 1 : word;
    if (std::strlen(value) >= size) return false;
    std::strcpy(out, value);
    return true;
}

void report_no_space(const char *fullpath, int min_mb, const char *fs, const char *fssub) {
    report_as(fullpath,
              "not enough space to extract the archive.\n"
              "Please make at least %dMb available in %s.\n"
              "Alternatively, you can make space available on another filesystem where a\n"
              "\"%s\" directory can be created. Ensure that the \"%s\" directory\n"
              "does not exist before trying again.",
              min_mb, fs, fssub, fssub);
}

// Clears the fixed path for the link: a link (dangling or not) or a file is
// removed, an empty directory too. false for a non-empty directory, which is
// left alone.
bool clear_fixed_path(const char *native_path) {
    struct stat sb;
    if (fstatat(fixed_dir, fixed_name, &sb, AT_SYMLINK_NOFOLLOW) != 0) return true;  // nothing there
    if (!S_ISDIR(sb.st_mode)) {
        unlinkat(fixed_dir, fixed_name, 0);
        return true;
    }
    if (unlinkat(fixed_dir, fixed_name, AT_REMOVEDIR) == 0 || (errno != ENOTEMPTY && errno != EEXIST)) return true;
    report_directory_exists(native_path);
    return false;
}

enum class LinkResult { made, next_candidate, give_up };

// The link step: sym_path holds a directory on a filesystem with room.
LinkResult make_link(char *sym_path, const char *fssub, const char *native_path) {
    char candidate[PATH_BUF];
    if (!join(candidate, sym_path, fssub[0] != '/', fssub)) {
        path_too_long(sym_path);
        return LinkResult::next_candidate;
    }
    std::strcpy(sym_path, candidate);

    if (access(sym_path, F_OK) == 0) {
        if (!quiet) report_as(sym_path, "already exists.");
        return LinkResult::next_candidate;
    }
    if (verbose) {
        std::fprintf(stderr, "Creating temporary link to %s\n", sym_path);
        std::fprintf(stderr, "OK to create temporary link? [y]: ");
        char ans[ANS_BUF] = {};
        read_answer(ans, ANS_BUF - 1);
        if (ans[0] == 'N' || ans[0] == 'n') return LinkResult::next_candidate;
    }
    // Made here, or it may have appeared during the prompt.
    const int made = make_dirs(sym_path, 0755, true);
    if (made == DIR_EXISTS) {
        if (!quiet) report_as(sym_path, "already exists.");
        return LinkResult::next_candidate;
    }
    if (made != 0) {
        if (made == -1 && !quiet) report_errno(sym_path);
        return LinkResult::next_candidate;
    }
    // Every directory on the way to sym_path is out of other users' reach
    // now, so its path names the directory just made until the link is gone.
    if (!clear_fixed_path(native_path)) {
        rmdir(sym_path);
        return LinkResult::give_up;
    }
    if (fixed_dir < 0 || symlinkat(sym_path, fixed_dir, fixed_name) != 0) {
        if (fixed_dir < 0) errno = fixed_dir_error;
        if (!quiet) report_errno(sym_path);
        rmdir(sym_path);
        return LinkResult::next_candidate;
    }
    std::strcpy(sym_path, native_path);
    std::strcpy(made_link, native_path);
    return LinkResult::made;
}

}  // namespace

int verify_fs(int min_mb, char *sym_path) {
    char fs[FS_BUF], fssub[FSSUB_BUF] = {}, path[PATH_BUF], fullpath[PATH_BUF], native_path[PATH_BUF];
    int is_root;
    uint64_t megs_avl;

    if (get_feature(VFYFS_KEY) == nullptr) return 0;
    if (!feature_value(VFYFS_KEY, fs, sizeof fs)) {
        report("VFYFS value too long");
        return 0;
    }
    if (get_feature(FSSUB_KEY) != nullptr && !feature_value(FSSUB_KEY, fssub, sizeof fssub)) {
        report("FSSUB value too long");
        return 0;
    }
    if (std::strlen(fs) < 2 || std::strlen(fssub) < 2) return 0;

    if (fs[0] == '/') {
        std::strcpy(path, fs);
    } else {
        char cwd[PATH_BUF - 1];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            report("cannot determine the working directory: %s", std::strerror(errno));
            return 0;
        }
        if (!join(path, cwd, true, fs)) {
            path_too_long(cwd);
            return 0;
        }
    }

    char *base = uncompress_dir[0] != '\0' ? uncompress_dir : path;
    strip_slash(base);
    if (!join(fullpath, base, true, fssub)) {
        path_too_long(base);
        return 0;
    }
    join(native_path, fs, true, fssub);  // at most 127 + 1 + 255 characters: always fits

    char key[PATH_BUF + FSSUB_BUF];  // the fixed path's absolute form: always fits
    std::snprintf(key, sizeof key, "%s/%s", path, fssub);
    if (!lock_fixed_path(native_path, key)) return 0;

    if (access(fullpath, F_OK) == 0) {
        report_directory_exists(fullpath);
        return 0;
    }

    bool have_candidate = false;
    if (uncompress_dir[0] != '\0' && FsHasMegSpace(uncompress_dir, min_mb, &is_root, &megs_avl) != 0) {
        std::strcpy(sym_path, uncompress_dir);  // fits: fullpath, which holds it and more, did
        strip_slash(sym_path);
        have_candidate = true;
    } else if (FsHasMegSpace(path, min_mb, &is_root, &megs_avl) != 0) {
        return 1;  // room where the archive wants to go: no link needed
    } else if (uncompress_dir[0] != '\0') {
        report_no_space(fullpath, min_mb, fs, fssub);
        return 0;
    } else {
        if (!quiet) report_as(fullpath, "not enough space. Looking for space in other filesystems.");
        ss_endmntent();
    }

    for (;;) {
        if (have_candidate) {
            switch (make_link(sym_path, fssub, native_path)) {
                case LinkResult::made: return 1;
                case LinkResult::give_up: sym_path[0] = '\0'; return 0;
                case LinkResult::next_candidate: break;
            }
        }
        struct ssmnttab *mt;
        do {
            mt = ss_getmntent();
            if (mt == nullptr) {
                sym_path[0] = '\0';
                report_no_space(fullpath, min_mb, fs, fssub);
                return 0;
            }
        } while (mt->mt_read_only || FsHasMegSpace(mt->mt_path, min_mb, &is_root, &megs_avl) != 1);
        if (!quiet) std::fprintf(stderr, "Trying %s ...\n", mt->mt_path);
        std::strcpy(sym_path, mt->mt_path);  // at most 127 characters
        have_candidate = true;
    }
}

bool remove_extraction_link() {
    const bool removed = remove_made_link();
    release_fixed_dir();
    return removed;
}
