#include "file_rewrite.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "signal_cleanup.h"

namespace linemorph {

namespace {

// Owns one file descriptor and closes it (result unchecked) unless released first.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Gives true when `path` itself (not a link's target) is the file `expected` describes.
bool path_names(const std::string& path, const struct stat& expected) {
    struct stat now {};
    return ::lstat(path.c_str(), &now) == 0 && same_file(now, expected);
}

int lock_exclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Removes whatever an earlier run left at `path`, unless it is a regular file that a live run still
// holds locked; gives 0 when the path is free to create (or changed meanwhile: try again), else
// the error number (EWOULDBLOCK for a live run's file). Nothing found there is ever opened for
// writing, and a link is removed, never followed.
int clear_leftover(const std::string& path) {
    struct stat found {};
    if (::lstat(path.c_str(), &found) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    UniqueFd leftover;
    if (S_ISREG(found.st_mode)) {
        // A regular file may belong to a live run: only its lock tells. Holding the lock while
        // removing it keeps any other cooperating run from replacing what the path names.
        const int fd =
            ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            // Gone, or swapped for a symbolic link (ELOOP; EMLINK on FreeBSD): look again.
            return errno == ENOENT || errno == ELOOP || errno == EMLINK ? 0 : errno;
        }
        leftover.reset(fd);
        struct stat opened {};
        if (::fstat(leftover.get(), &opened) != 0) {
            return errno;
        }
        if (!same_file(opened, found)) {
            return 0;
        }
        if (::flock(leftover.get(), LOCK_EX | LOCK_NB) != 0) {
            return errno;  // EWOULDBLOCK: another run is editing this file right now
        }
        if (!path_names(path, opened)) {
            return 0;
        }
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return errno;
    }
    return 0;
}

// Makes a rename in the directory of `path` durable where the system allows it; a failure only
// loses durability, never data, so it is ignored.
void sync_directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (fd) {
        (void)::fsync(fd.get());
    }
}

// The temporary file of one run: created exclusively, private (0600) and locked for the whole
// run. It either commits (owner, mode, sync, rename onto the input) or, when destroyed before
// that, removes itself, but only while its path still names this run's file. While it is known by
// its identity, a SIGINT, SIGTERM or SIGHUP removes it the same way.
class TempFile {
  public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        disarm_signal_cleanup();
        if (fd_ && !committed_ && !kept_ && path_names(path_, identity_)) {
            ::unlink(path_.c_str());  // still locked: no other run can have taken the path
        }
    }

    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }

    // Creates the file, clearing what an earlier run left at its path; gives nothing on success.
    std::optional<Failure> create() {
        constexpr int kAttempts = 16;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            if (const int error = create_exclusive()) {
                if (error != EEXIST) {
                    return Failure{FailureKind::OpenTemp, error, path_, {}};
                }
                if (const int cleared = clear_leftover(path_)) {
                    return Failure{FailureKind::OpenTemp, cleared, path_, {}};
                }
                continue;
            }
            if (const int error = lock_exclusive(fd_.get())) {
                return Failure{FailureKind::OpenTemp, error, path_, {}};
            }
            // Another run may have taken the new file for a leftover and removed it before the
            // lock was ours; then start again.
            if (path_names(path_, identity_)) {
                return std::nullopt;
            }
            disarm_signal_cleanup();
            fd_.reset();
        }
        return Failure{FailureKind::OpenTemp, EEXIST, path_, {}};
    }

    // Gives the written file the owner and mode of `original`, makes it durable and renames it
    // onto `target`; gives nothing on success. After a failed rename the file is kept.
    std::optional<Failure> commit(const std::string& target, const struct stat& original) {
        // Owner first: a change of owner (like the writes before it) may clear set-user-ID bits.
        // Giving a file away is a privilege; where it is refused, keep at least the group.
        if (::fchown(fd_.get(), original.st_uid, original.st_gid) != 0) {
            if (errno != EPERM ||
                (::fchown(fd_.get(), static_cast<uid_t>(-1), original.st_gid) != 0 &&
                 errno != EPERM)) {
                return Failure{FailureKind::SetMode, errno, path_, {}};
            }
        }
        if (::fchmod(fd_.get(), original.st_mode & 07777) != 0) {
            return Failure{FailureKind::SetMode, errno, path_, {}};
        }
        if (::fsync(fd_.get()) != 0) {
            return Failure{FailureKind::WriteTemp, errno, path_, {}};
        }
        // Some file systems report deferred write errors only at close, so close is checked
        // before the rename. The lock lasts while any descriptor of the file is open: a duplicate
        // keeps it until the rename is done, so no other run can take the path meanwhile.
        const int duplicate = ::dup(fd_.get());
        if (duplicate < 0) {
            return Failure{FailureKind::WriteTemp, errno, path_, {}};
        }
        const int written = fd_.release();
        fd_.reset(duplicate);
        if (::close(written) != 0) {
            return Failure{FailureKind::WriteTemp, errno, path_, {}};
        }
        if (!path_names(path_, identity_)) {
            return Failure{FailureKind::TempReplaced, 0, path_, {}};
        }
        // Once renamed, or kept after a failed rename, the file is no longer this run's to
        // remove: a signal held back meanwhile ends the run only after the disarming.
        CleanupSignalsHeld held;
        const int renamed = ::rename(path_.c_str(), target.c_str());
        const int error = errno;
        disarm_signal_cleanup();
        if (renamed != 0) {
            kept_ = true;  // it holds the whole result: leave it for the user
            return Failure{FailureKind::Rename, error, path_, target};
        }
        committed_ = true;
        sync_directory_of(target);
        return std::nullopt;
    }

  private:
    // Creates the file exclusively, learns its identity and arms the signal cleanup for it;
    // gives 0 or the error number (EEXIST: something is in the way).
    int create_exclusive() {
        // A signal between the creation and the arming would leave the file behind.
        const CleanupSignalsHeld held;
        const int created = ::open(
            path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (created < 0) {
            return errno;
        }
        fd_.reset(created);
        if (::fstat(fd_.get(), &identity_) != 0) {
            const int error = errno;
            fd_.reset();  // unknown identity: left for the next run to clear as a leftover
            return error;
        }
        arm_signal_cleanup(path_.c_str(), identity_.st_dev, identity_.st_ino);
        return 0;
    }

    std::string path_;
    UniqueFd fd_;
    struct stat identity_ {};
    bool committed_ = false;
    bool kept_ = false;
};

std::string system_text(int error) {
    return std::strerror(error);
}

}  // namespace

std::optional<StreamFailure> rewrite_stream(int in_fd, int out_fd, const Rule& rule,
                                            std::size_t block_size, WriterSizes sizes) {
    FileWriter out(out_fd, sizes);
    if (auto failed = rewrite_lines(in_fd, rule, block_size, out)) {
        return failed;
    }
    if (const int error = out.finish()) {
        return StreamFailure{StreamFailure::Side::Write, error};
    }
    return std::nullopt;
}

namespace {

// Opens the input for reading and gives its status from the opened descriptor; it must be a
// regular file. Non-blocking, so that a FIFO swapped in after the first look cannot hang the run.
std::optional<Failure> open_input(const std::string& path, UniqueFd& input, struct stat& status) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return Failure{FailureKind::OpenInput, errno, path, {}};
    }
    input.reset(fd);
    if (::fstat(input.get(), &status) != 0) {
        return Failure{FailureKind::StatInput, errno, path, {}};
    }
    if (!S_ISREG(status.st_mode)) {
        return Failure{FailureKind::NotRegular, 0, path, {}};
    }
    return std::nullopt;
}

}  // namespace

std::optional<Failure> open_regular_input(const std::string& path, int& fd, struct stat& status) {
    if (::stat(path.c_str(), &status) != 0) {
        return Failure{FailureKind::StatInput, errno, path, {}};
    }
    // Only regular files are edited; anything else is turned away before it is opened, since
    // opening a device can have effects of its own.
    if (!S_ISREG(status.st_mode)) {
        return Failure{FailureKind::NotRegular, 0, path, {}};
    }
    UniqueFd input;
    if (auto failure = open_input(path, input, status)) {
        return failure;
    }
    fd = input.release();
    return std::nullopt;
}

std::optional<Failure> rewrite_file(const std::string& input_path, const Rule& rule,
                                    std::size_t block_size) {
    struct stat status {};
    int input_fd = -1;
    if (auto failure = open_regular_input(input_path, input_fd, status)) {
        return failure;
    }
    UniqueFd input(input_fd);
    TempFile temp(input_path + ".tmp");
    if (auto failure = temp.create()) {
        return failure;
    }
    // Another run may have replaced the input between its opening and this run's lock; with the
    // lock held no other run can, so read what the path names now, or that run's edit is lost.
    struct stat now {};
    if (::stat(input_path.c_str(), &now) != 0) {
        return Failure{FailureKind::StatInput, errno, input_path, {}};
    }
    if (!same_file(now, status)) {
        if (auto failure = open_input(input_path, input, status)) {
            return failure;
        }
    }
    if (const auto failed = rewrite_stream(input.get(), temp.fd(), rule, block_size)) {
        if (failed->side == StreamFailure::Side::Read) {
            return Failure{FailureKind::ReadInput, failed->error, input_path, {}};
        }
        return Failure{FailureKind::WriteTemp, failed->error, temp.path(), {}};
    }
    return temp.commit(input_path, status);
}

ExitStatus exit_status(FailureKind kind) {
    switch (kind) {
        case FailureKind::StatInput:
            return ExitStatus::StatFailed;
        case FailureKind::OpenInput:
        case FailureKind::NotRegular:
        case FailureKind::ReadInput:
            return ExitStatus::InputFailed;
        case FailureKind::OpenTemp:
        case FailureKind::WriteTemp:
        case FailureKind::TempReplaced:
        case FailureKind::WriteOutput:
        case FailureKind::WriteToInput:
            return ExitStatus::OutputFailed;
        case FailureKind::Rename:
            return ExitStatus::RenameFailed;
        case FailureKind::SetMode:
            return ExitStatus::ModeFailed;
    }
    return ExitStatus::OutputFailed;
}

std::string failure_message(const Failure& failure) {
    const std::string& path = failure.path;
    switch (failure.kind) {
        case FailureKind::StatInput:
            return "ERROR: Whilst attempting to get information of '" + path +
                   "', system reported: '" + system_text(failure.error) + "'\n";
        case FailureKind::OpenInput:
        case FailureKind::OpenTemp:
            return "Error: Cannot open " + path + " (" + system_text(failure.error) + ")";
        case FailureKind::NotRegular:
            return "Error: " + path + " is not a regular file\n";
        case FailureKind::ReadInput:
            return "Error: Cannot read " + path + " (" + system_text(failure.error) + ")\n";
        case FailureKind::WriteTemp:
            return "Error: Cannot write " + path + " (" + system_text(failure.error) + ")\n";
        case FailureKind::WriteOutput:
            return "Error: Cannot write standard output (" + system_text(failure.error) + ")\n";
        case FailureKind::WriteToInput:
            return "Error: standard output is " + path + " itself\n";
        case FailureKind::TempReplaced:
            return "Error: " + path + " was replaced by another process; the input is unchanged\n";
        case FailureKind::Rename:
            return "ERROR: While attempting to rename temp file '" + path + "' to '" +
                   failure.target + "', system reported: '" + system_text(failure.error) + "'\n";
        case FailureKind::SetMode:
            return "ERROR: While attempting to set permissions on new file, system reported: '" +
                   system_text(failure.error) + "'\n";
    }
    return {};
}

}  // namespace linemorph
