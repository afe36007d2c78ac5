// gzmember.cc - build-time helper: compresses one file into one plain gzip
// member with kivra's own compressor, for the Debian package's man page and
// changelog (which Debian wants compressed, reproducibly: no stored name, time
// stamp 0).
//
// Usage: kivra_gzmember INPUT OUTPUT
//
// It drives the same member writer as the builder, through the codec's
// process-wide state (stream.h): no stored name (save_orig_name 0), time 0,
// level 9.
#include "stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    progname = argv[0];
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s input output\n", progname);
        return 1;
    }
    if (std::strlen(argv[1]) >= sizeof ifname) {
        std::fprintf(stderr, "%s: input name too long\n", progname);
        return 1;
    }
    std::strcpy(ifname, argv[1]);
    int in = open(argv[1], O_RDONLY);
    if (in < 0) {
        std::fprintf(stderr, "%s: %s: %s\n", progname, argv[1], std::strerror(errno));
        return 1;
    }
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        std::fprintf(stderr, "%s: %s: %s\n", progname, argv[2], std::strerror(errno));
        return 1;
    }
    std::snprintf(ofname, sizeof ofname, "%s", argv[2]);
    save_orig_name = 0;
    time_stamp = 0;
    clear_bufs();
    zip(in, out);  // read and write failures end the process with status 1
    if (close(out) != 0) {
        std::fprintf(stderr, "%s: %s: %s\n", progname, argv[2], std::strerror(errno));
        return 1;
    }
    close(in);
    return 0;
}
