// Scratch files for the fuzz targets: unnamed files that one fuzzing run refills for every input.
#ifndef LINEMORPH_FUZZ_SCRATCH_FILE_H
#define LINEMORPH_FUZZ_SCRATCH_FILE_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace linemorph::fuzzing {

// An unnamed scratch file for the whole fuzzing run.
inline int scratch_file() {
    const char* base = std::getenv("TMPDIR");
    std::string path =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/linemorph-fuzz-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0 || ::unlink(path.c_str()) != 0) {
        std::perror("cannot make a scratch file");
        std::abort();
    }
    return fd;
}

inline void check(bool ok, const char* what) {
    if (!ok) {
        std::perror(what);
        std::abort();
    }
}

// Empties `fd` and writes `bytes` to it; leaves its offset at 0.
inline void refill(int fd, std::string_view bytes) {
    check(::ftruncate(fd, 0) == 0, "ftruncate");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        check(wrote > 0, "pwrite");
        done += static_cast<std::size_t>(wrote);
    }
    check(::lseek(fd, 0, SEEK_SET) == 0, "lseek");
}

// Gives the whole content of `fd`.
inline std::string contents(int fd) {
    std::string bytes;
    char chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
        check(got >= 0, "pread");
        if (got == 0) {
            return bytes;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
        at += got;
    }
}

}  // namespace linemorph::fuzzing

#endif
