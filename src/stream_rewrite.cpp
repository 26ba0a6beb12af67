#include "stream_rewrite.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "byte_search.h"

namespace linemorph {

namespace {

// The read buffer. It grows by realloc, which can move a large buffer by remapping its pages
// rather than copying them, and leaves capacity never read into untouched.
class ReadBuffer {
  public:
    ReadBuffer() = default;
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;
    ~ReadBuffer() { std::free(data_); }

    char* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }

    // Makes room for `capacity` bytes in all; gives false when memory is short.
    bool reserve(std::size_t capacity) {
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) {
            return false;
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return true;
    }

    // Doubles the room; gives false when memory is short.
    bool grow() {
        return capacity_ <= std::numeric_limits<std::size_t>::max() / 2 && reserve(capacity_ * 2);
    }

  private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Gives the start of the line that holds byte `pos` of `base`, knowing that a line starts at
// `done` and that no line feed lies in [done, clean): only bytes after both are looked at.
std::size_t line_start(const char* base, std::size_t done, std::size_t clean, std::size_t pos) {
    const std::size_t floor = std::max(done, clean);
    if (pos <= floor) {
        return done;
    }
    const std::size_t feed = find_last_byte(std::string_view(base + floor, pos - floor), '\n');
    return feed == std::string_view::npos ? done : floor + feed + 1;
}

// Where the line that holds byte `at` of `base` starts, and its line feed (nullptr: none in
// [at, end)).
struct LineAround {
    std::size_t start;
    const char* feed;
};

// Gives the line that holds byte `at` of `base`, knowing that a line starts at `done` and that no
// line feed lies in [done, clean). One forward search finds both ends when the line is the first
// from `done`, as it is when most lines hold the search string.
LineAround line_around(const char* base, std::size_t done, std::size_t clean, std::size_t at,
                       std::size_t end) {
    const std::size_t floor = std::max(done, clean);
    const std::size_t first = find_byte(std::string_view(base + floor, end - floor), '\n');
    if (first == std::string_view::npos) {
        return {done, nullptr};
    }
    if (floor + first >= at) {
        return {done, base + floor + first};
    }
    const std::size_t after = floor + first + 1;
    const std::size_t feed = find_byte(std::string_view(base + at, end - at), '\n');
    return {line_start(base, after, after, at),
            feed == std::string_view::npos ? nullptr : base + at + feed};
}

}  // namespace

std::optional<StreamFailure> scan_lines(int in_fd, const Rule& rule, std::size_t block_size,
                                        RewriteSink& sink) {
    ReadBuffer buffer;
    if (!buffer.reserve(std::max<std::size_t>(block_size, 1))) {
        return StreamFailure{StreamFailure::Side::Read, ENOMEM};
    }
    const std::string_view needle = rule.search;
    // A line holds a line feed only as its last byte, so a search string with one anywhere else
    // never occurs in a line (nor does an empty one, by the rewriter's rule): all lines are kept.
    const bool can_occur = !needle.empty() && needle.find('\n') >= needle.size() - 1;
    const ByteFinder finder(needle);

    // In the buffer, [done, end) is read but not yet handed on, and starts a line; [done, clean)
    // holds no line feed; no occurrence starts in [done, search_from).
    std::size_t done = 0;
    std::size_t clean = 0;
    std::size_t search_from = 0;
    std::size_t end = 0;
    bool at_end = false;

    for (;;) {
        char* const base = buffer.data();
        const auto keep = [&](std::size_t from, std::size_t to) {
            return from < to ? sink.keep(std::string_view(base + from, to - from)) : 0;
        };
        bool line_unfinished = false;
        while (can_occur && end - search_from >= needle.size()) {
            const std::size_t found =
                finder.find(std::string_view(base + search_from, end - search_from));
            if (found == std::string_view::npos) {
                break;
            }
            const std::size_t at = search_from + found;
            const LineAround around = line_around(base, done, clean, at, end);
            const std::size_t start = around.start;
            const char* const feed = around.feed;
            if (int error = keep(done, start)) {
                return StreamFailure{StreamFailure::Side::Write, error};
            }
            done = start;
            if (feed == nullptr && !at_end) {
                // The line goes on past what is read: read more, and find this hit again.
                clean = end;
                search_from = at;
                line_unfinished = true;
                break;
            }
            const std::size_t stop =
                feed == nullptr ? end : static_cast<std::size_t>(feed - base) + 1;
            const std::string_view line(base + start, stop - start);
            // `at` is the line's first occurrence: none starts between `start` and it.
            const LineOutput output = rewrite_line_at(line, rule, at - start);
            const int error = output.changed() ? sink.change(line, output) : sink.keep(line);
            if (error != 0) {
                return StreamFailure{StreamFailure::Side::Write, error};
            }
            done = clean = search_from = stop;
        }
        if (!line_unfinished) {
            if (at_end) {
                if (int error = keep(done, end)) {
                    return StreamFailure{StreamFailure::Side::Write, error};
                }
                break;
            }
            // No occurrence starts before the last needle.size() - 1 bytes: hand on every whole
            // line and keep the unfinished one.
            const std::size_t start = line_start(base, done, clean, end);
            if (int error = keep(done, start)) {
                return StreamFailure{StreamFailure::Side::Write, error};
            }
            done = start;
            clean = end;
            search_from = std::max(done, end - std::min(end, needle.size() - 1));
        }

        if (int error = sink.release()) {
            return StreamFailure{StreamFailure::Side::Write, error};
        }
        if (done > 0) {
            std::memmove(base, base + done, end - done);
            end -= done;
            clean -= done;
            search_from -= done;
            done = 0;
        }
        if (end == buffer.capacity() && !buffer.grow()) {
            return StreamFailure{StreamFailure::Side::Read, ENOMEM};  // a line too long to hold
        }
        const ssize_t got = ::read(in_fd, buffer.data() + end, buffer.capacity() - end);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return StreamFailure{StreamFailure::Side::Read, errno};
        }
        at_end = got == 0;
        end += static_cast<std::size_t>(got);
    }
    if (int error = sink.finish()) {
        return StreamFailure{StreamFailure::Side::Write, error};
    }
    return std::nullopt;
}

}  // namespace linemorph
