// Removal of this run's temporary file when a signal ends the run. The file is named by a path and
// known by its device and inode numbers; the handler removes what the path names only while it is
// still that file, so it never removes another run's file nor, once the rename has happened,
// anything at all.
#ifndef LINEMORPH_SIGNAL_CLEANUP_H
#define LINEMORPH_SIGNAL_CLEANUP_H

#include <signal.h>
#include <sys/types.h>

namespace linemorph {

// Installs the handler for every signal whose default action ends the process and that can be
// caught, but for SIGPIPE, SIGXFSZ (ignored here, so that a file-size limit ends a write with
// EFBIG, reported and cleaned up like any write error) and the signals of a fault in the process
// itself; signal_cleanup.cpp says why. A signal that was ignored when the run began stays ignored.
// The handler removes the armed file, if any, and ends the process with status 128 + the signal's
// number. Gives 0 or the error number.
int install_signal_cleanup();

// Arms the handler for the file at `path` with identity (`device`, `inode`). The caller keeps
// `path` alive and unchanged until disarm_signal_cleanup(). One file at a time.
void arm_signal_cleanup(const char* path, dev_t device, ino_t inode);

// Disarms the handler: from now on a signal removes nothing.
void disarm_signal_cleanup();

// Holds every signal the handler is installed for back for its lifetime; one that arrives
// meanwhile is delivered when it ends. Used around steps that must not be cut in two: creating
// the file and arming the handler for it, or renaming it and disarming.
class CleanupSignalsHeld {
  public:
    CleanupSignalsHeld();
    ~CleanupSignalsHeld();
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;

  private:
    sigset_t previous_{};
    bool held_ = false;
};

}  // namespace linemorph

#endif
