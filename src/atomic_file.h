// The atomic (temporary) file: the new content of a file is written beside it under a temporary
// name and only takes the file's place, whole and durable, once everything else has succeeded.
#ifndef LINEMORPH_ATOMIC_FILE_H
#define LINEMORPH_ATOMIC_FILE_H

#include <sys/stat.h>

#include <optional>
#include <string>

#include "failure.h"
#include "fd_io.h"

namespace linemorph {

struct ArmedFile;

// Whether prepare() makes the file durable itself, or leaves that to the caller, who makes many
// files durable at once (one sync of their file system) before renaming any of them.
enum class SyncStep { Now, Deferred };

// Where a temporary file's content stands once a caller other than commit() has moved it: still at
// the temporary path (the destructor, or a signal, removes it), or in the target's place (neither
// does).
enum class Placement { Temporary, InPlace };

// The temporary file that replaces `target`: `target` + ".tmp", created exclusively (never
// through a link), private (mode 0600, and no ACL a folder's default ACL would give it) until
// prepared, and locked for its whole life, so that two runs never
// write one file and a run never clears another live run's file.
//
// Its life: create(), then the content written to fd(), then prepare() (owner, mode, sync: the
// file is complete and durable, but nothing visible has changed), then commit() (the rename onto
// the target and the folder's sync). Destroyed before commit() it removes itself, but only while
// its path still names this file; a failed rename keeps it, holding the whole result. While it
// exists and is not committed, a signal that ends the run removes it the same way.
class AtomicFile {
  public:
    explicit AtomicFile(std::string target);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    // Creates the temporary file, clearing what an earlier run left at its path but never the
    // file `input` describes (the input reached through a link, or a second name of it); gives
    // nothing on success.
    std::optional<Failure> create(const struct stat& input);

    // Gives the written file the owner and group, the extended attributes and access ACL, and
    // the whole mode of the file open at `original_fd`, whose status is `original`, and, with
    // SyncStep::Now, makes it durable; gives nothing on success. A failure leaves the target
    // untouched. With SyncStep::Deferred the caller syncs fd() (or its whole file system) before
    // the file takes the target's place.
    std::optional<Failure> prepare(int original_fd, const struct stat& original,
                                   SyncStep sync = SyncStep::Now);

    // Renames the prepared file onto the target and makes the rename durable; gives nothing on
    // success. After a failed rename the file is kept, holding the whole result.
    std::optional<Failure> commit();

    // Tells the file where a caller that moved it itself (an exchange with the target, and its
    // undoing) left its content: in place, it is no longer removed nor watched by the signal
    // cleanup; back at the temporary path, the destructor removes it again, and so does a signal
    // that ends the run before. Called inside a CleanupSignalsHeld, with the move it reports, so
    // that no signal comes between the two.
    void set_placement(Placement where);

    const std::string& path() const { return path_; }
    const std::string& target() const { return target_; }
    // The descriptor to write the new content to, until prepare(); after it, one that holds the
    // lock (to sync, not to write).
    int fd() const { return fd_.get(); }
    // The created file's status, taken at its creation: its device and inode name it.
    const struct stat& identity() const { return identity_; }

  private:
    int create_exclusive();

    std::string target_;
    std::string path_;
    UniqueFd fd_;
    struct stat identity_ {};
    ArmedFile* armed_ = nullptr;  // the signal cleanup's handle for this file
    bool committed_ = false;
    bool kept_ = false;
};

}  // namespace linemorph

#endif
