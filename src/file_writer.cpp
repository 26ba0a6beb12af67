#include "file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "fd_io.h"

namespace linemorph {

namespace {

// Copies `size` bytes between buffers that do not overlap. Up to 32 bytes, the usual size of a
// changed line's parts, it moves a few words that may overlap in place of calling memcpy.
inline void copy_bytes(char* to, const char* from, std::size_t size) {
    const auto move = [&](std::size_t at, auto word) {
        std::memcpy(&word, from + at, sizeof word);
        std::memcpy(to + at, &word, sizeof word);
    };
    if (size > 32) {
        std::memcpy(to, from, size);
    } else if (size >= 16) {
        move(0, std::uint64_t{});
        move(8, std::uint64_t{});
        move(size - 16, std::uint64_t{});
        move(size - 8, std::uint64_t{});
    } else if (size >= 8) {
        move(0, std::uint64_t{});
        move(size - 8, std::uint64_t{});
    } else if (size >= 4) {
        move(0, std::uint32_t{});
        move(size - 4, std::uint32_t{});
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

}  // namespace

FileWriter::FileWriter(int fd, WriterSizes sizes) : fd_(fd), sizes_(sizes) {
    sizes_.buffer = std::max<std::size_t>(sizes_.buffer, 1);
}

int FileWriter::keep(std::string_view lines) {
    return add(lines);
}

int FileWriter::change(std::string_view /*line*/, const LineOutput& output) {
    // The common case, taken in one step: a changed line of two or three parts whose first part
    // follows the pending stretch, and which with it and the middle part is short and fits in the
    // open piece of copies. Those are copied, and the last part becomes the pending stretch, as
    // add() part by part would do.
    const std::size_t count = output.count;
    if (open_ != nullptr && (count == 2 || count == 3)) {
        const std::string_view first = output.parts[0];
        const std::string_view middle = count == 3 ? output.parts[1] : std::string_view();
        const char* const head = pending_.empty() ? first.data() : pending_.data();
        const std::size_t head_size = pending_.size() + first.size();
        const std::size_t need = head_size + middle.size();
        if ((pending_.empty() || pending_.data() + pending_.size() == first.data()) &&
            need < sizes_.copy_limit && need <= static_cast<std::size_t>(limit_ - cursor_)) {
            copy_bytes(cursor_, head, head_size);
            copy_bytes(cursor_ + head_size, middle.data(), middle.size());
            cursor_ += need;
            pending_ = output.parts[count - 1];
            return 0;
        }
    }
    return change_slowly(output);
}

// change() part by part: out of line, so that the common case stays short.
[[gnu::noinline]] int FileWriter::change_slowly(const LineOutput& output) {
    for (std::size_t i = 0; i < output.count; ++i) {
        if (const int error = add(output.parts[i])) {
            return error;
        }
    }
    return 0;
}

int FileWriter::release() {
    if (const int error = settle()) {
        return error;
    }
    // Copies may wait for more; what lies in the read buffer must be written before it is reused.
    return in_place_ ? flush() : 0;
}

int FileWriter::finish() {
    if (const int error = settle()) {
        return error;
    }
    return flush();
}

// Adds `bytes` to the output; bytes that follow the pending stretch in memory extend it, so a
// changed line's end and the kept lines after it are one stretch.
int FileWriter::add(std::string_view bytes) {
    if (bytes.empty()) {
        return 0;
    }
    if (!pending_.empty() && pending_.data() + pending_.size() == bytes.data()) {
        pending_ = std::string_view(pending_.data(), pending_.size() + bytes.size());
        return 0;
    }
    const int error = settle();
    pending_ = bytes;
    return error;
}

// Copies the pending stretch or refers to it where it lies, by its length; gives 0 or the error
// number of a write this needed.
int FileWriter::settle() {
    const std::string_view stretch = std::exchange(pending_, {});
    if (stretch.empty()) {
        return 0;
    }
    return stretch.size() < sizes_.copy_limit ? copy(stretch) : refer(stretch);
}

// Appends `bytes` to the buffer, writing it out each time it is full; gives 0 or the error number.
int FileWriter::copy(std::string_view bytes) {
    if (open_ != nullptr && bytes.size() <= static_cast<std::size_t>(limit_ - cursor_)) {
        std::memcpy(cursor_, bytes.data(), bytes.size());
        cursor_ += bytes.size();
        return 0;
    }
    return copy_slowly(bytes);
}

// copy() where the buffer is yet to be made, is full, or has no open piece.
int FileWriter::copy_slowly(std::string_view bytes) {
    if (!buffer_) {
        buffer_.reset(new (std::nothrow) char[sizes_.buffer]);
        if (!buffer_) {
            return ENOMEM;
        }
        cursor_ = buffer_.get();
        limit_ = cursor_ + sizes_.buffer;
    }
    while (!bytes.empty()) {
        if (cursor_ == limit_ || (open_ == nullptr && count_ == kMaxPieces)) {
            if (const int error = flush()) {
                return error;
            }
        }
        if (open_ == nullptr) {
            open_ = cursor_;
        }
        const std::size_t size = std::min(bytes.size(), static_cast<std::size_t>(limit_ - cursor_));
        std::memcpy(cursor_, bytes.data(), size);
        cursor_ += size;
        bytes.remove_prefix(size);
    }
    return 0;
}

// Adds `bytes`, where they lie, as the next piece to write; gives 0 or the error number.
int FileWriter::refer(std::string_view bytes) {
    close_copy();
    if (count_ == kMaxPieces) {
        if (const int error = flush()) {
            return error;
        }
    }
    pieces_[count_++] = {const_cast<char*>(bytes.data()), bytes.size()};
    in_place_ = true;
    return 0;
}

// Ends the open piece of copies, if any: it goes among the pieces to write.
void FileWriter::close_copy() {
    if (open_ != nullptr) {
        pieces_[count_++] = {open_, static_cast<std::size_t>(cursor_ - open_)};
        open_ = nullptr;
    }
}

// Writes every gathered piece and empties the buffer; gives 0 or the error number.
int FileWriter::flush() {
    close_copy();
    const int count = std::exchange(count_, 0);
    cursor_ = buffer_.get();
    in_place_ = false;
    if (const int error = write_pieces(fd_, pieces_.data(), count, written_)) {
        return error;
    }
    if (written_ - started_ >= kWritebackStep) {
        start_writeback(fd_, started_, written_ - started_);
        started_ = written_;
    }
    return 0;
}

}  // namespace linemorph
