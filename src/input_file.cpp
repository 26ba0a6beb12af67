#include "input_file.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace linemorph {

namespace {

int lock_shared_now(int fd) {
    while (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

}  // namespace

std::optional<Failure> open_input(const std::string& path, InputFile& input) {
    struct stat& status = input.status;
    if (::stat(path.c_str(), &status) != 0) {
        return Failure{FailureKind::StatInput, errno, path, {}};
    }
    // Only regular files are edited; anything else is turned away before it is opened, since
    // opening a device can have effects of its own.
    if (!S_ISREG(status.st_mode)) {
        return Failure{FailureKind::NotRegular, 0, path, {}};
    }
    // Non-blocking, so that a FIFO swapped in after the look cannot hang the run.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return Failure{FailureKind::OpenInput, errno, path, {}};
    }
    input.fd.reset(fd);
    if (::fstat(input.fd.get(), &status) != 0) {
        return Failure{FailureKind::StatInput, errno, path, {}};
    }
    if (!S_ISREG(status.st_mode)) {
        return Failure{FailureKind::NotRegular, 0, path, {}};
    }
    // A file held under an exclusive lock is being written by another run (its temporary file):
    // reading it would take a half-written result for the input.
    if (const int error = lock_shared_now(input.fd.get())) {
        return Failure{FailureKind::OpenInput, error, path, {}};
    }
    return std::nullopt;
}

std::optional<Failure> locate_input(const std::string& given, LinkHandling links,
                                    ResolvedPath& located) {
    if (links == LinkHandling::Replace) {
        located = ResolvedPath{given, 0, {}};
        return std::nullopt;
    }
    located = resolve_symlinks(given);
    if (located.error != 0) {
        return Failure{FailureKind::StatInput, located.error, given, {}};
    }
    return std::nullopt;
}

}  // namespace linemorph
