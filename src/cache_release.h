// Letting go of the page cache of an input as the read loop passes it, on a thread of its own.
#ifndef LINEMORPH_CACHE_RELEASE_H
#define LINEMORPH_CACHE_RELEASE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace linemorph {

// While it lives, lets the system drop the cached pages of the file open at `fd` (described by
// `status`) that lie well behind the descriptor's read position, on a thread of its own; when it
// ends, drops those the thread has not reached. It acts only on a large file with no other name:
// that file's pages are freed anyway when its replacement takes its name, and that would cost the
// run's own time at its very end, after the last write. A file with another name lives on, and
// its pages are left alone; so is every file where no thread can be started.
class InputCacheRelease {
  public:
    InputCacheRelease(int fd, const struct stat& status);
    InputCacheRelease(const InputCacheRelease&) = delete;
    InputCacheRelease& operator=(const InputCacheRelease&) = delete;
    ~InputCacheRelease();

    // Files smaller than this are left alone: a thread would cost more than it saves.
    static constexpr off_t kMinSize = off_t{32} << 20;
    // Pages are dropped in steps of this many bytes, this many bytes behind the read position.
    static constexpr off_t kStep = off_t{8} << 20;
    static constexpr off_t kLag = off_t{1} << 20;

  private:
    void drop_behind_read_position();
    void run();

    int fd_;
    off_t dropped_ = 0;  // the end of the last range let go
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace linemorph

#endif
