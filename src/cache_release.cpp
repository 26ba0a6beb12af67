#include "cache_release.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <system_error>

namespace linemorph {

InputCacheRelease::InputCacheRelease(int fd, const struct stat& status) : fd_(fd) {
    if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || status.st_size < kMinSize) {
        return;
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: the pages go when the file does, as they would without one.
    } catch (const std::bad_alloc&) {
        // No memory for the thread's state: the same.
    }
}

InputCacheRelease::~InputCacheRelease() {
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
    drop_behind_read_position();
}

// Drops the cached pages up to kLag bytes before the read position, each time that has moved on
// by kStep bytes. Each drop starts from the file's start: a page that spans the end of one range
// (a large folio) is kept by that drop and goes with the next. Advice only: a failure changes
// nothing the run depends on.
void InputCacheRelease::drop_behind_read_position() {
    const off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position < 0 || position - kLag - dropped_ < kStep) {
        return;
    }
    dropped_ = position - kLag;
    (void)::posix_fadvise(fd_, 0, dropped_, POSIX_FADV_DONTNEED);
}

void InputCacheRelease::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(2), [this] { return stop_; })) {
        drop_behind_read_position();
    }
}

}  // namespace linemorph
