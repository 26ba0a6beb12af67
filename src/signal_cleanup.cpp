#include "signal_cleanup.h"

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <new>

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

// The armed files, the one piece of process-wide state the handler needs: slots in blocks that
// are chained on and never freed while the process runs, so that the handler can walk them at any
// moment without a lock. A slot's fields are written before its `armed` flag is set (release) and
// read after it is seen set (acquire). Slots are handed out and taken back under a mutex, which
// only arming and disarming take, never the handler.
constexpr std::size_t kSlotsPerBlock = 256;

}  // namespace

struct ArmedFile {
    const char* path = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    std::atomic<int> armed{0};
    ArmedFile* next_free = nullptr;  // guarded by the mutex
};

namespace {

struct SlotBlock {
    ArmedFile slots[kSlotsPerBlock];
    std::atomic<SlotBlock*> next{nullptr};
};

std::atomic<SlotBlock*> first_block{nullptr};
std::mutex slot_mutex;
ArmedFile* free_slots = nullptr;  // guarded by slot_mutex
SlotBlock* last_block = nullptr;  // guarded by slot_mutex

// The handshake between held steps and the handler: a step counts itself in `busy_steps`, then
// looks at `stopping`; the handler sets `stopping`, then waits for `busy_steps` to drop to 0. With
// sequentially consistent atomics one of the two always sees the other.
std::atomic<int> busy_steps{0};
std::atomic<int> stopping{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<SlotBlock*>::is_always_lock_free,
              "the handler may only use lock-free atomics");

// Gives a free slot, or null when memory for a new block is short.
ArmedFile* take_slot() {
    const std::lock_guard<std::mutex> lock(slot_mutex);
    if (free_slots == nullptr) {
        auto* block = new (std::nothrow) SlotBlock;
        if (block == nullptr) {
            return nullptr;
        }
        for (ArmedFile& slot : block->slots) {
            slot.next_free = free_slots;
            free_slots = &slot;
        }
        if (last_block == nullptr) {
            first_block.store(block);
        } else {
            last_block->next.store(block);
        }
        last_block = block;
    }
    ArmedFile* slot = free_slots;
    free_slots = slot->next_free;
    return slot;
}

// Waits, for a second at most, until no thread is inside a held step. Only nanosleep here.
void wait_for_held_steps() {
    struct timespec pause = {0, 1000000};
    for (int round = 0; round < 1000 && busy_steps.load() != 0; ++round) {
        (void)::nanosleep(&pause, nullptr);
    }
}

// Only async-signal-safe calls here: lstat, unlink, nanosleep, _exit, and lock-free atomics.
extern "C" void remove_armed_files_and_exit(int signal_number) {
    stopping.store(1);
    wait_for_held_steps();
    for (SlotBlock* block = first_block.load(); block != nullptr; block = block->next.load()) {
        for (ArmedFile& slot : block->slots) {
            if (slot.armed.load(std::memory_order_acquire) == 0) {
                continue;
            }
            struct stat now {};
            if (::lstat(slot.path, &now) == 0 && now.st_dev == slot.device &&
                now.st_ino == slot.inode) {
                (void)::unlink(slot.path);  // nothing more can be done about a failure now
            }
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
    action.sa_handler = remove_armed_files_and_exit;
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

ArmedFile* arm_signal_cleanup(const char* path, dev_t device, ino_t inode) {
    ArmedFile* slot = take_slot();
    if (slot != nullptr) {
        slot->path = path;
        slot->device = device;
        slot->inode = inode;
        slot->armed.store(1, std::memory_order_release);
    }
    return slot;
}

void disarm_signal_cleanup(ArmedFile* file) {
    if (file == nullptr) {
        return;
    }
    // Held, so that a handler in another thread never reads a path freed right after this.
    const CleanupSignalsHeld held;
    file->armed.store(0, std::memory_order_release);
    const std::lock_guard<std::mutex> lock(slot_mutex);
    file->next_free = free_slots;
    free_slots = file;
}

CleanupSignalsHeld::CleanupSignalsHeld() {
    const sigset_t set = cleanup_signal_set();
    // Fails only for an invalid request; then the signals simply stay deliverable.
    held_ = ::pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
    busy_steps.fetch_add(1);
    // A signal taken by another thread is removing the armed files: a step begun now could
    // create a file behind its back or free a path it reads. Wait for the end of the process.
    while (stopping.load() != 0) {
        busy_steps.fetch_sub(1);
        struct timespec pause = {1, 0};
        (void)::nanosleep(&pause, nullptr);
        busy_steps.fetch_add(1);
    }
}

CleanupSignalsHeld::~CleanupSignalsHeld() {
    busy_steps.fetch_sub(1);
    if (held_) {
        (void)::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
}

}  // namespace linemorph
