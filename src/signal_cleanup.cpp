#include "signal_cleanup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace linemorph {

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

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
    for (const int signal_number : kCleanupSignals) {
        sigaddset(&set, signal_number);
    }
    return set;
}

}  // namespace

int install_signal_cleanup() {
    struct sigaction action {};
    action.sa_handler = remove_armed_file_and_exit;
    action.sa_mask = cleanup_signal_set();  // one cleanup at a time
    for (const int signal_number : kCleanupSignals) {
        struct sigaction previous {};
        if (::sigaction(signal_number, nullptr, &previous) != 0) {
            return errno;
        }
        if (previous.sa_handler == SIG_IGN) {
            continue;  // started under nohup or the like: the caller wants the run to go on
        }
        if (::sigaction(signal_number, &action, nullptr) != 0) {
            return errno;
        }
    }
    return 0;
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
