#include "atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "file_metadata.h"
#include "signal_cleanup.h"

namespace linemorph {

namespace {

int lock_exclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Removes whatever an earlier run left at `path`, unless it is the input (a link to the input's
// file, or the file the input path leads to) or a regular file that a live run still holds
// locked; gives nothing when the path is free to create (or changed meanwhile: try again).
// Nothing found there is ever opened for writing, and a link is removed, never followed.
std::optional<Failure> clear_leftover(const std::string& path, const struct stat& input) {
    const auto failed = [&](int error) { return Failure{FailureKind::OpenTemp, error, path, {}}; };
    struct stat found {};
    if (::lstat(path.c_str(), &found) != 0) {
        return errno == ENOENT ? std::nullopt : std::optional(failed(errno));
    }
    // Removing the input's own file would lose it: the run's result would then be made from the
    // run's own empty temporary file.
    if (same_file(found, input)) {
        return Failure{FailureKind::TempIsInput, 0, path, {}};
    }
    UniqueFd leftover;
    if (S_ISREG(found.st_mode)) {
        // A regular file may belong to a live run: only its lock tells. Holding the lock while
        // removing it keeps any other cooperating run from replacing what the path names.
        const int fd =
            ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            // Gone, or swapped for a symbolic link (ELOOP; EMLINK on FreeBSD): look again.
            return errno == ENOENT || errno == ELOOP || errno == EMLINK
                       ? std::nullopt
                       : std::optional(failed(errno));
        }
        leftover.reset(fd);
        struct stat opened {};
        if (::fstat(leftover.get(), &opened) != 0) {
            return failed(errno);
        }
        if (!same_file(opened, found)) {
            return std::nullopt;
        }
        if (::flock(leftover.get(), LOCK_EX | LOCK_NB) != 0) {
            return failed(errno);  // EWOULDBLOCK: another run is editing this file right now
        }
        if (!path_names(path, opened)) {
            return std::nullopt;
        }
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return failed(errno);
    }
    return std::nullopt;
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

}  // namespace

AtomicFile::AtomicFile(std::string target) : target_(std::move(target)), path_(target_ + ".tmp") {}

AtomicFile::~AtomicFile() {
    if (fd_ && !committed_ && !kept_ && path_names(path_, identity_)) {
        (void)::unlink(path_.c_str());  // still locked: no other run can have taken the path
    }
    // Disarmed only once removed: a signal before the removal removes the file itself, and one
    // after it finds the path empty, or naming another file, and leaves it.
    disarm_signal_cleanup(std::exchange(armed_, nullptr));
}

std::optional<Failure> AtomicFile::create(const struct stat& input) {
    constexpr int kAttempts = 16;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (const int error = create_exclusive()) {
            if (error != EEXIST) {
                return Failure{FailureKind::OpenTemp, error, path_, {}};
            }
            if (auto failure = clear_leftover(path_, input)) {
                return failure;
            }
            continue;
        }
        if (const int error = lock_exclusive(fd_.get())) {
            return Failure{FailureKind::OpenTemp, error, path_, {}};
        }
        // Another run may have taken the new file for a leftover and removed it before the lock
        // was ours; then start again.
        if (path_names(path_, identity_)) {
            // An ACL that the folder's default ACL gave the new file at its creation is private
            // for now (the mode 0600 emptied its mask) but would open up with the mode set by
            // prepare(): it goes before any content is written.
            if (const int error = make_private(fd_.get())) {
                return Failure{FailureKind::SetMode, error, path_, {}};
            }
            return std::nullopt;
        }
        disarm_signal_cleanup(std::exchange(armed_, nullptr));
        fd_.reset();
    }
    return Failure{FailureKind::OpenTemp, EEXIST, path_, {}};
}

std::optional<Failure> AtomicFile::prepare(int original_fd, const struct stat& original,
                                           SyncStep sync) {
    // Owner first: a change of owner (like the writes before it) may clear set-user-ID bits.
    // Giving a file away is a privilege; where it is refused, keep at least the group.
    if (::fchown(fd_.get(), original.st_uid, original.st_gid) != 0) {
        if (errno != EPERM ||
            (::fchown(fd_.get(), static_cast<uid_t>(-1), original.st_gid) != 0 && errno != EPERM)) {
            return Failure{FailureKind::SetMode, errno, path_, {}};
        }
    }
    // Then the old file's rights, which the mode below completes: never wider before it.
    if (const int error = copy_metadata(original_fd, fd_.get(), original.st_mode)) {
        return Failure{FailureKind::SetMode, error, path_, {}};
    }
    if (::fchmod(fd_.get(), original.st_mode & 07777) != 0) {
        return Failure{FailureKind::SetMode, errno, path_, {}};
    }
    if (sync == SyncStep::Now && ::fsync(fd_.get()) != 0) {
        return Failure{FailureKind::WriteTemp, errno, path_, {}};
    }
    // Some file systems report deferred write errors only at close, so close is checked before
    // the rename. The lock lasts while any descriptor of the file is open: a duplicate keeps it
    // until the rename is done, so no other run can take the path meanwhile.
    const int duplicate = ::dup(fd_.get());
    if (duplicate < 0) {
        return Failure{FailureKind::WriteTemp, errno, path_, {}};
    }
    const int written = fd_.release();
    fd_.reset(duplicate);
    if (::close(written) != 0) {
        return Failure{FailureKind::WriteTemp, errno, path_, {}};
    }
    return std::nullopt;
}

std::optional<Failure> AtomicFile::commit() {
    if (!path_names(path_, identity_)) {
        return Failure{FailureKind::TempReplaced, 0, path_, {}};
    }
    // Once renamed, or kept after a failed rename, the file is no longer this run's to remove: a
    // signal held back meanwhile ends the run only after the disarming.
    CleanupSignalsHeld held;
    const int renamed = ::rename(path_.c_str(), target_.c_str());
    const int error = errno;
    disarm_signal_cleanup(std::exchange(armed_, nullptr));
    if (renamed != 0) {
        kept_ = true;  // it holds the whole result: leave it for the user
        return Failure{FailureKind::Rename, error, path_, target_};
    }
    committed_ = true;
    // The file is the target now, and its exclusive lock would turn away the next run that opens
    // the target for reading: let it go at once, before the folder's sync.
    fd_.reset();
    sync_directory_of(target_);
    return std::nullopt;
}

void AtomicFile::set_placement(Placement where) {
    committed_ = where == Placement::InPlace;
    if (committed_) {
        disarm_signal_cleanup(std::exchange(armed_, nullptr));
    } else if (armed_ == nullptr) {
        armed_ = arm_signal_cleanup(path_.c_str(), identity_.st_dev, identity_.st_ino);
    }
}

// Creates the file exclusively, learns its identity and arms the signal cleanup for it; gives 0
// or the error number (EEXIST: something is in the way).
int AtomicFile::create_exclusive() {
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
    armed_ = arm_signal_cleanup(path_.c_str(), identity_.st_dev, identity_.st_ino);
    return 0;
}

}  // namespace linemorph
