#include "fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace linemorph {

int write_all(int fd, std::string_view bytes) {
    iovec piece{const_cast<char*>(bytes.data()), bytes.size()};
    off_t written = 0;
    return write_pieces(fd, &piece, 1, written);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Gives true when `path` itself (not a link's target) is the file `expected` describes.
bool path_names(const std::string& path, const struct stat& expected) {
    struct stat now {};
    return ::lstat(path.c_str(), &now) == 0 && same_file(now, expected);
}

// Writes all of `count` pieces to `fd` in order, going on after short writes, and adds what was
// written to `written`; gives 0 or the error number. The pieces are used up.
int write_pieces(int fd, iovec* next, int count, off_t& written) {
    std::size_t done = 0;  // bytes of the pieces at `next` already written
    for (;;) {
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count <= 0) {
            return 0;
        }
        next->iov_base = static_cast<char*>(next->iov_base) + done;
        next->iov_len -= done;
        const ssize_t wrote = ::writev(fd, next, count);
        if (wrote < 0) {
            if (errno == EINTR) {
                done = 0;
                continue;
            }
            return errno;
        }
        if (wrote == 0) {
            return EIO;  // no progress and no error: never loop forever
        }
        written += wrote;
        done = static_cast<std::size_t>(wrote);
    }
}

// Asks the system to start writing `length` bytes of `fd` from `offset` to disk now, without
// waiting, so that the final fsync finds little left to do and the disk works while the rest is
// read. Only a hint: where the system has no such call it does nothing, and the fsync before the
// rename remains what makes the file durable.
void start_writeback(int fd, off_t offset, off_t length) {
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
    (void)::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
    (void)offset;
    (void)length;
#endif
}

int open_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        if (errno != EBADF) {
            return errno;
        }
        // open gives the lowest free descriptor, and every one below `fd` is open by now.
        if (::open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY) < 0) {
            return errno;
        }
    }
    return 0;
}

}  // namespace linemorph
