#include "platform.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace linemorph {

namespace {

#if defined(__linux__) && defined(RENAME_EXCHANGE)
constexpr bool kCanExchange = true;
int exchange(const std::string& a, const std::string& b) {
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
}
#else
constexpr bool kCanExchange = false;
int exchange(const std::string&, const std::string&) {
    return ENOSYS;
}
#endif

// Gives true when an exchange failed only because the system or the file system cannot make one,
// or because nothing stands at the target: a plain rename then does what is asked.
bool rename_instead(int error) {
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP ||
           error == ENOENT;
}

}  // namespace

int put_in_place(const std::string& from, const std::string& to, Swap& how) {
    if (kCanExchange) {
        const int error = exchange(from, to);
        if (error == 0) {
            how = Swap::Exchanged;
            return 0;
        }
        if (!rename_instead(error)) {
            return error;
        }
    }
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        return errno;
    }
    how = Swap::Renamed;
    return 0;
}

int exchange_names(const std::string& a, const std::string& b) {
    return exchange(a, b);
}

int sync_file_system(int fd) {
#if defined(__linux__)
    return ::syncfs(fd) == 0 ? 0 : errno;
#else
    (void)fd;
    return ENOSYS;
#endif
}

unsigned online_processors() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count < 1 ? 1U : static_cast<unsigned>(count);
}

rlim_t raise_descriptor_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t old = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return old;  // the run goes on within the old limit; a file past it fails as usual
        }
    }
    return limit.rlim_cur;
}

}  // namespace linemorph
