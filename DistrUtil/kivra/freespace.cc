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
bool exit_hook_set = false;

// false after a message naming the link and the reason when it could not be
// removed; a link already gone counts as removed.
bool remove_made_link() {
    if (made_link[0] == '\0') return true;
    const bool removed = unlink(made_link) == 0 || errno == ENOENT;
    if (!removed) report_as(made_link, "%s", std::strerror(errno));
    made_link[0] = '\0';
    return removed;
}

void remove_made_link_at_exit() { remove_made_link(); }

void remember_link(const char *path) {
    std::snprintf(made_link, sizeof made_link, "%s", path);
    if (!exit_hook_set) exit_hook_set = std::atexit(remove_made_link_at_exit) == 0;
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

bool remove_extraction_link() { return remove_made_link(); }
