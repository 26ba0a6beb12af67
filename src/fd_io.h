// Descriptor I/O: an owning descriptor, complete writes, and the small checks on file identity
// that every layer shares.
#ifndef LINEMORPH_FD_IO_H
#define LINEMORPH_FD_IO_H

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

namespace linemorph {

// Writes all of `bytes` to `fd`, going on after short writes and interruptions; gives 0 or the
// error number.
int write_all(int fd, std::string_view bytes);

// Writes all of `count` pieces to `fd` in order, going on after short writes, and adds what was
// written to `written`; gives 0 or the error number. The pieces are used up.
int write_pieces(int fd, iovec* next, int count, off_t& written);

// Asks the system to start writing `length` bytes of `fd` from `offset` to disk now, without
// waiting, so that the final fsync finds little left to do and the disk works while the rest is
// read. Only a hint: where the system has no such call it does nothing, and the fsync before the
// rename remains what makes the file durable.
void start_writeback(int fd, off_t offset, off_t length);

// Opens /dev/null on each closed standard descriptor (0, 1, 2), so that no file the run opens
// lands on one of them: an input opened as descriptor 1 would be taken for the dry run's standard
// output, and a message would be written into a temporary file opened as descriptor 2. Standard
// input is opened for writing only and the others for reading only, so that using them fails with
// EBADF as on a closed descriptor: a dry run without standard output still reports that it cannot
// write its diff. Gives 0 or the error number.
int open_closed_standard_descriptors();

// Gives true when `a` and `b` describe the same file (device and inode).
bool same_file(const struct stat& a, const struct stat& b);

// Gives true when `path` itself (not a link's target) is the file `expected` describes.
bool path_names(const std::string& path, const struct stat& expected);

// Owns one file descriptor and closes it (result unchecked) unless released first.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
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

}  // namespace linemorph

#endif
