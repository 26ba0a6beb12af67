#include "signal_cleanup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace linemorph {

namespace {

// The signals that remove the temporary file: every one whose default action ends the process and
// that can be caught, but for those below. The real-time signals, SIGRTMIN to SIGRTMAX, are added
// to these; where the C library keeps some for itself (glibc's two below SIGRTMIN), it hides them.
//
// Left as they are, on purpose:
// - SIGKILL and SIGSTOP cannot be caught; SIGSTOP does not end the run anyway.
// - SIGPIPE tells a writer that its reader is gone. Only a dry run writes into a pipe, and it has
//   no temporary file: it must die of SIGPIPE, as diff does, so that a pipeline such as
//   `linemorph --dryrun ... | head` ends quietly. A real run writes only to its temporary file
//   while that exists; its messages come after the file is removed. So only an explicit
//   `kill -PIPE` could leave the file, and the next run clears it.
// - SIGXFSZ: main ignores it, so that a file-size limit ends a write with EFBIG, reported and
//   cleaned up like any other write error.
// - SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT (and SIGEMT where it exists) report a
//   fault in this process itself (SIGABRT: abort(), as after an uncaught exception): its memory
//   may be corrupt, its core dump and the wait status "killed by SIGSEGV" are the evidence of the
//   fault, and a sanitizer catches some of them to report the fault itself. A handler that returned
//   from a fault would run into it again, and one that removed the file and exited would lose all
//   that, only to spare the next run the removal of a leftover, which it makes anyway, as after
//   SIGKILL. Nor could they be in the set that CleanupSignalsHeld blocks: POSIX leaves undefined
//   what a fault does while its signal is blocked.
// - FreeBSD's SIGLIBRT belongs to its real-time library.
constexpr int kNamedSignals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGPROF, SIGVTALRM,
#ifdef SIGSTKFLT
    SIGSTKFLT,  // Linux only
#endif
#ifdef SIGPOLL
    SIGPOLL,  // Linux's SIGIO; FreeBSD has no SIGPOLL, and ignores its SIGIO by default
#endif
#ifdef SIGPWR
    SIGPWR,  // Linux only
#endif
#ifdef SIGLOST
    SIGLOST,  // where it exists apart from SIGPWR
#endif
};

// Calls `visit` with each signal that removes the temporary file (SIGLOST may repeat SIGPWR),
// until it gives other than 0; gives that, or 0.
template <typename Visit>
int for_each_cleanup_signal(Visit visit) {
    for (const int signal_number : kNamedSignals) {
        if (const int result = visit(signal_number)) {
            return result;
        }
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        if (const int result = visit(signal_number)) {
            return result;
        }
    }
#endif
    return 0;
}

// The armed file, the one piece of process-wide state the handler needs. The fields are written
// before `armed` is set and read after it is seen set; the signal fences keep the compiler from
// moving those accesses across it.
const char* armed_path = nullptr;
dev_t armed_device = 0;
ino_t armed_inode = 0;
volatile sig_atomic_t armed = 0;

// Only async-signal-safe calls here: lstat, unlink and _exit.
extern "C" void remove_armed_file_and_exit(int signal_number) {
    if (armed != 0) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        struct stat now {};
        if (::lstat(armed_path, &now) == 0 && now.st_dev == armed_device &&
            now.st_ino == armed_inode) {
            (void)::unlink(armed_path);  // nothing more can be done about a failure now
        }
    }
    ::_exit(128 + signal_number);
}

sigset_t cleanup_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for_each_cleanup_signal([&set](int signal_number) {
        (void)sigaddset(&set, signal_number);  // each is a valid signal number
        return 0;
    });
    return set;
}

}  // namespace

int install_signal_cleanup() {
    if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
        return errno;
    }
    struct sigaction action {};
    action.sa_handler = remove_armed_file_and_exit;
    action.sa_mask = cleanup_signal_set();  // one cleanup at a time
    return for_each_cleanup_signal([&action](int signal_number) {
        struct sigaction previous {};
        if (::sigaction(signal_number, nullptr, &previous) != 0) {
            // A signal that the system keeps for itself, as an emulator may, is left alone.
            return errno == EINVAL ? 0 : errno;
        }
        // Ignored: started under nohup or the like, the caller wants the run to go on. Caught
        // already: a runtime set up before main (a profiler's SIGPROF) needs it.
        if (previous.sa_handler != SIG_DFL) {
            return 0;
        }
        return ::sigaction(signal_number, &action, nullptr) == 0 ? 0 : errno;
    });
}

void arm_signal_cleanup(const char* path, dev_t device, ino_t inode) {
    armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    armed_path = path;
    armed_device = device;
    armed_inode = inode;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    armed = 1;
}

void disarm_signal_cleanup() {
    armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

CleanupSignalsHeld::CleanupSignalsHeld() {
    const sigset_t set = cleanup_signal_set();
    // Fails only for an invalid request; then the signals simply stay deliverable.
    held_ = ::sigprocmask(SIG_BLOCK, &set, &previous_) == 0;
}

CleanupSignalsHeld::~CleanupSignalsHeld() {
    if (held_) {
        (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
}

}  // namespace linemorph
