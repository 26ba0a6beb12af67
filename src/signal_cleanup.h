// Removal of this run's temporary files when a signal ends the run. Each file is named by a path
// and known by its device and inode numbers; the handler removes what the path names only while it
// is still that file, so it never removes another run's file nor, once the rename has happened,
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

// One armed file: a handle that disarm_signal_cleanup() takes back. Null when none is armed.
struct ArmedFile;

// Arms the handler for the file at `path` with identity (`device`, `inode`), among any others
// armed: a signal removes every armed file. The caller keeps `path` alive and unchanged until
// disarm_signal_cleanup(). Safe to call from several threads at once; each call must be made
// inside a CleanupSignalsHeld, so that no signal cuts it in two. Gives the handle, or null when
// memory for it is short (then a signal leaves the file behind, as SIGKILL would).
ArmedFile* arm_signal_cleanup(const char* path, dev_t device, ino_t inode);

// Disarms the handler for one file: from now on a signal does not remove it, and its path may be
// freed. Takes null as a no-op. Safe from any thread, held step or not.
void disarm_signal_cleanup(ArmedFile* file);

// Holds every signal the handler is installed for back in this thread for its lifetime; one that
// arrives meanwhile is delivered when it ends. Used around steps that must not be cut in two:
// creating the file and arming the handler for it, or renaming it and disarming. With several
// threads, a signal taken by another thread waits for every held step to end before it removes
// the armed files, and a step that would begin after that waits for the process to end instead:
// so no file is created, or its path freed, behind the handler's back.
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
