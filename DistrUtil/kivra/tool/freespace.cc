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
// (flock) on a file named after the fixed path and holds it until the driver
// ends, after the link is gone; a second run waits for it.
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
constexpr size_t PATH_BUF = 512;    // path, fullpath, native_path, sym_path
constexpr size_t MKDIRP_MAX = 254;  // longest path mkdirp builds prefixes of
constexpr size_t ANS_BUF = 5;       // answer to the link prompt

// The link this process made, for removal on every exit path.
char made_link[PATH_BUF];

// false after a message naming the link and the reason when it could not be
// removed; a link already gone counts as removed.
bool remove_made_link() {
    if (made_link[0] == '\0') return true;
    const bool removed = unlink(made_link) == 0 || errno == ENOENT;
    if (!removed) report_as(made_link, "%s", std::strerror(errno));
    made_link[0] = '\0';
    return removed;
}

void remember_link(const char *path) { std::snprintf(made_link, sizeof made_link, "%s", path); }

// The lock file lives in /tmp, which is there even when the fixed path is
// not yet. It is named by a hash of the fixed path's absolute form (runs of
// '/' read as one), opened without following a link, and must be a regular
// file, so nobody can point it elsewhere. Its holder removes it before giving
// the lock up; so a run that got the lock on a file no longer in place (removed
// meanwhile) tries again on the current one.
constexpr const char *LOCK_DIR = "/tmp";
char lock_path[64];
int lock_fd = -1;

void unlock_fixed_path() {
    if (lock_fd < 0) return;
    unlink(lock_path);
    close(lock_fd);
    lock_fd = -1;
}

// Exit handler: the link goes first, then the lock.
void end_extraction_at_exit() { remove_extraction_link(); }

constexpr int LOCK_AGAIN = -1;

// 0 with the lock held, LOCK_AGAIN when the file locked is no longer in
// place, or the reason the lock cannot be had (an errno value).
int try_lock(bool *said_wait, const char *key) {
    lock_fd = open(lock_path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (lock_fd < 0) return errno;
    struct stat held, now;
    if (fstat(lock_fd, &held) != 0) return errno;
    if (!S_ISREG(held.st_mode)) return EINVAL;
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return errno;
        if (!*said_wait && !quiet) report("waiting for another extraction into %s to end", key);
        *said_wait = true;
        while (flock(lock_fd, LOCK_EX) != 0) {
            if (errno != EINTR) return errno;
        }
    }
    if (lstat(lock_path, &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino) return 0;
    return LOCK_AGAIN;
}

// Holds the lock for the fixed path key, waiting for it (and saying so once)
// when another run has it. A lock that cannot be had is said in one line; the
// extraction then goes on without it.
void lock_fixed_path(const char *key) {
    uint64_t h = 14695981039346656037ULL;  // FNV-1a, 64 bits
    for (const char *c = key; *c != '\0'; c++) {
        if (*c == '/' && c[1] == '/') continue;
        h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ULL;
    }
    unlock_fixed_path();  // a lock of an earlier check in this process
    std::snprintf(lock_path, sizeof lock_path, "%s/kivra-%016llx.lock", LOCK_DIR, static_cast<unsigned long long>(h));
    [[maybe_unused]] static const int exit_handler = std::atexit(end_extraction_at_exit);

    bool said_wait = false;
    int err;
    while ((err = try_lock(&said_wait, key)) == LOCK_AGAIN) close(lock_fd);
    if (err == 0) return;
    report("cannot lock %s: %s", lock_path, std::strerror(err));
    if (lock_fd >= 0) close(lock_fd);
    lock_fd = -1;
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
    std::fprintf(stderr, "%s: not enough space to extract the archive.\n", fullpath);
    std::fprintf(stderr, "Please make at least %dMb available in %s.\n", min_mb, fs);
    std::fprintf(stderr,
                 "Alternatively, you can make space available on another filesystem where a\n"
                 "\"%s\" directory can be created. Ensure that the \"%s\" directory\n"
                 "does not exist before trying again.\n",
                 fssub, fssub);
}

// Clears the fixed path for the link: a link (dangling or not) or a file is
// removed, an empty directory too. false for a non-empty directory, which is
// left alone.
bool clear_fixed_path(const char *native_path) {
    struct stat sb;
    if (lstat(native_path, &sb) != 0) return true;  // nothing there
    if (!S_ISDIR(sb.st_mode)) {
        unlink(native_path);
        return true;
    }
    if (rmdir(native_path) == 0 || (errno != ENOTEMPTY && errno != EEXIST)) return true;
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
        if (!quiet) std::fprintf(stderr, "%s: already exists.\n", sym_path);
        return LinkResult::next_candidate;
    }
    if (verbose) {
        std::fprintf(stderr, "Creating temporary link to %s\n", sym_path);
        std::fprintf(stderr, "OK to create temporary link? [y]: ");
        char ans[ANS_BUF] = {};
        read_answer(ans, ANS_BUF - 1);
        if (ans[0] == 'N' || ans[0] == 'n') return LinkResult::next_candidate;
    }
    if (mkdirp(sym_path, 0755) != 0) {
        if (!quiet) std::perror(sym_path);
        return LinkResult::next_candidate;
    }
    if (!clear_fixed_path(native_path)) {
        rmdir(sym_path);
        return LinkResult::give_up;
    }
    if (symlink(sym_path, native_path) != 0) {
        if (!quiet) std::perror(sym_path);
        rmdir(sym_path);
        return LinkResult::next_candidate;
    }
    std::strcpy(sym_path, native_path);
    remember_link(native_path);
    return LinkResult::made;
}

}  // namespace

int verify_fs(int min_mb, char *sym_path) {
    char fs[FS_BUF], fssub[FSSUB_BUF] = {}, path[PATH_BUF], fullpath[PATH_BUF], native_path[PATH_BUF];
    int is_root;
    uint64_t megs_avl;

    if (get_feature("VFYFS=") == nullptr) return 0;
    if (!feature_value("VFYFS=", fs, sizeof fs)) {
        report("VFYFS value too long");
        return 0;
    }
    if (get_feature("FSSUB=") != nullptr && !feature_value("FSSUB=", fssub, sizeof fssub)) {
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
    lock_fixed_path(key);

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
        if (!quiet) {
            std::fprintf(stderr, "%s: not enough space. Looking for space in other filesystems.\n", fullpath);
        }
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

int mkdirp(const char *path, int mode) {
    if (path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    if (access(path, X_OK) == 0) return 0;
    size_t len = std::strlen(path);
    if (len > MKDIRP_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char prefix[MKDIRP_MAX + 1];
    for (size_t i = 1; i <= len; i++) {
        if (path[i] != '/' && path[i] != '\0') continue;
        std::memcpy(prefix, path, i);
        prefix[i] = '\0';
        if (access(prefix, X_OK) == 0) continue;
        if (mkdir(prefix, static_cast<mode_t>(mode)) != 0) return -1;
        chmod(prefix, static_cast<mode_t>(mode));  // the creation mask must not narrow it
    }
    return 0;
}

bool remove_extraction_link() {
    const bool removed = remove_made_link();
    unlock_fixed_path();
    return removed;
}
