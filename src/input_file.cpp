#include "input_file.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <ctime>

namespace linemorph {

namespace {

// Takes a shared lock on `fd` without blocking; gives 0 or the error number (EWOULDBLOCK while
// another process holds the file exclusively). A run that has just renamed its finished file onto
// the input still holds it exclusively for the moment until it closes it, so a refusal is tried
// again for a short while before it stands; a file that is being written stays locked far longer.
int lock_shared(int fd) {
    constexpr int kTries = 40;
    constexpr struct timespec kPause = {0, 5L * 1000 * 1000};  // 5 ms: 200 ms in all
    for (int tries = 0;;) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK || ++tries == kTries) {
            return errno;
        }
        (void)::nanosleep(&kPause, nullptr);  // cut short by a signal: only a shorter wait
    }
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
    if (const int error = lock_shared(input.fd.get())) {
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
