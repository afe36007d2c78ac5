// fsinfo.cc - questions about the filesystem that holds a path: free
// megabytes, free percentage, used and free blocks, same filesystem,
// writability. Nothing is printed; a path that cannot be queried gives -1,
// 0.0 or 0 as each routine states.
//
// The space arithmetic lives in FsJudge/FsMegsAvail, which work on recorded
// counts, so that block sizes no machine at hand has (512, 3072, above
// 1 MiB) can be checked without mounting anything.
#include "ss.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

// statfs record with 64-bit block counters (the build sets 64-bit file
// offsets, which selects them on 32-bit x86 as well).
typedef struct statfs FstatStruct;
typedef float FLOAT;  // precision of the free-space percentage

namespace {

constexpr uint64_t MEG = 1048576;
constexpr uint64_t UNIT = 512;  // block sizes are reckoned in 512-byte units

FsCounts counts_of(const FstatStruct &st) {
    return FsCounts{static_cast<uint64_t>(st.f_bsize), static_cast<uint64_t>(st.f_blocks),
                    static_cast<uint64_t>(st.f_bavail)};
}

int fsid_word(const FstatStruct &st) {
    int w;
    std::memcpy(&w, &st.f_fsid, sizeof w);  // the first word of the id
    return w;
}

// Block size used for the used/free counts: at least 512 bytes.
double block_bytes(const FstatStruct &st) {
    return st.f_bsize < static_cast<long>(UNIT) ? static_cast<double>(UNIT) : static_cast<double>(st.f_bsize);
}

}  // namespace

uint64_t FsMegsAvail(const FsCounts &c) {
    // Block size in 512-byte units, rounded down, then blocks per megabyte:
    // 4096-byte blocks give 8 units and 256 blocks, 3072-byte blocks 6 and 341.
    uint64_t bdiv = (c.bsize > UNIT ? c.bsize : UNIT) / UNIT;
    uint64_t blocks_per_meg = 2048 / bdiv;
    if (blocks_per_meg != 0) return c.bavail / blocks_per_meg;
    // Blocks larger than a megabyte: whole megabytes per block, saturating.
    uint64_t megs_per_block = c.bsize / MEG;
    if (c.bavail > UINT64_MAX / megs_per_block) return UINT64_MAX;
    return c.bavail * megs_per_block;
}

int FsJudge(int opts, const FsCounts &c, unsigned int value, uint64_t *megs_avl) {
    *megs_avl = FsMegsAvail(c);
    if (opts == 2) return *megs_avl >= value ? 1 : 0;
    if (opts != 1) return -1;
    uint64_t percent = 0;
    if (c.blocks != 0) {
        // Single precision at every step; volatile keeps the x87 unit of the
        // 32-bit build from carrying extra precision into the truncation.
        volatile FLOAT ratio = static_cast<FLOAT>(c.bavail) / static_cast<FLOAT>(c.blocks);
        volatile FLOAT scaled = ratio * static_cast<FLOAT>(100);
        percent = static_cast<uint64_t>(scaled);
    }
    return percent >= value ? 1 : 0;
}

// opts 2: megabyte test, opts 1: percentage test. is_root and megs_avl are
// left alone when path cannot be queried.
int fsinfo(int opts, const char *path, unsigned int value, int *is_root, uint64_t *megs_avl) {
    FstatStruct st, root;
    if (statfs(path, &st) != 0) return -1;
    *is_root = statfs("/", &root) == 0 && fsid_word(root) == fsid_word(st) ? 1 : 0;
    return FsJudge(opts, counts_of(st), value, megs_avl);
}

int FsHasMegSpace(const char *path, unsigned int value, int *is_root, uint64_t *megs_avl) {
    return fsinfo(2, path, value, is_root, megs_avl);
}

int FsHasPrtSpace(const char *path, unsigned int value, int *is_root, uint64_t *megs_avl) {
    return fsinfo(1, path, value, is_root, megs_avl);
}

int FsCompare(const char *p1, const char *p2) {
    FstatStruct s1, s2;
    if (statfs(p1, &s1) != 0 || statfs(p2, &s2) != 0) return -1;
    return fsid_word(s1) == fsid_word(s2) ? 1 : 0;
}

double FsBlocksUsed(const char *path, int block_size) {
    FstatStruct st;
    if (statfs(path, &st) != 0) return 0.0;
    double used = static_cast<double>(st.f_blocks - st.f_bfree);
    return used * block_bytes(st) / block_size;
}

double FsMegsUsed(const char *path) { return FsBlocksUsed(path, 512) / 2048; }

double FsBlocksFree(const char *path, int block_size) {
    FstatStruct st;
    if (statfs(path, &st) != 0) return 0.0;
    return static_cast<double>(st.f_bfree) * block_bytes(st) / block_size;
}

// Creates and removes a probe file in directory p. Only a read-only
// filesystem makes the answer 0; other creation failures (such as missing
// permission) say nothing about the filesystem and count as writable.
int FsIsWritable(const char *p) {
    struct stat sb;
    if (stat(p, &sb) != 0 || (sb.st_mode & 0222) == 0) return 0;

    size_t size = std::strlen(p) + 50;
    char *probe = static_cast<char *>(std::malloc(size));
    if (probe == nullptr) return 0;
    std::snprintf(probe, size, "%s/%ld._fst.", p, static_cast<long>(time(nullptr)));

    int result = 1;
    int fd = creat(probe, 0777);
    if (fd >= 0) {
        close(fd);
    } else if (errno == EROFS) {
        result = 0;
    }
    unlink(probe);
    std::free(probe);
    return result;
}
