#include "dry_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace linemorph {

namespace {

constexpr std::size_t kContext = 3;  // unchanged lines shown around each change, as diff -u
constexpr std::size_t kFlushSize = 64 * 1024;

// Writes all of `bytes` to `fd`, going on after short writes; gives 0 or the error number.
int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;  // no progress and no error: never loop forever
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// Gives the first line of `lines`: up to and including its line feed, or all of it.
std::string_view first_line(std::string_view lines) {
    const std::size_t feed = lines.find('\n');
    return feed == std::string_view::npos ? lines : lines.substr(0, feed + 1);
}

// Gives the number of lines in `lines`, whose last line may lack its line feed.
std::size_t count_lines(std::string_view lines) {
    const auto feeds = static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
    return feeds + (!lines.empty() && lines.back() != '\n' ? 1 : 0);
}

// Gives where the last `count` lines of `lines` start (0 when it has no more than that).
std::size_t tail_start(std::string_view lines, std::size_t count) {
    std::size_t start = lines.size();
    for (std::size_t i = 0; i < count && start > 0; ++i) {
        // The line before `start` ends at start - 1: look for the line feed before that.
        const std::size_t feed = start >= 2 ? lines.rfind('\n', start - 2) : std::string_view::npos;
        start = feed == std::string_view::npos ? 0 : feed + 1;
    }
    return start;
}

// Gives one side's range in a hunk header, as GNU diff writes it: `before` lines precede the
// range and `count` lines are in it. An empty range names the line before it; ",1" is left out.
std::string range_text(std::size_t before, std::size_t count) {
    if (count == 0) {
        return std::to_string(before) + ",0";
    }
    if (count == 1) {
        return std::to_string(before + 1);
    }
    return std::to_string(before + 1) + "," + std::to_string(count);
}

// A run of whole lines held as copies.
struct LineRange {
    const std::string* first;
    const std::string* last;
    std::size_t size() const { return static_cast<std::size_t>(last - first); }
};

// Turns a sequence of lines that are the same on both sides and of changes (old lines replaced by
// new ones) into the hunks of a unified diff, and writes them. As in diff -u, changes with no
// unchanged line between them make one change, its old lines shown before its new ones, and
// changes whose context would touch or overlap share a hunk. Holds copies of the open hunk and of
// the last kContext unchanged lines, nothing else. A write error is kept and stops all writing.
class HunkWriter {
  public:
    HunkWriter(int fd, std::string label) : fd_(fd), label_(std::move(label)) {}

    // One line (with its line feed, if it has one) that is the same on both sides.
    void equal(std::string_view line) {
        ++old_seen_;
        ++new_seen_;
        if (open_) {
            end_change();
            trailing_.emplace_back(line);
            if (trailing_.size() > 2 * kContext) {
                close_hunk();  // the next change is too far off to share this hunk
            }
            return;
        }
        context_.emplace_back(line);
        if (context_.size() > kContext) {
            context_.pop_front();
        }
    }

    // Whole lines that are the same on both sides; only the last few are copied.
    void equal_run(std::string_view lines) {
        while (open_ && !lines.empty()) {
            const std::string_view line = first_line(lines);
            equal(line);
            lines.remove_prefix(line.size());
        }
        const std::size_t tail = tail_start(lines, kContext);
        const std::size_t skipped = count_lines(lines.substr(0, tail));
        old_seen_ += skipped;
        new_seen_ += skipped;
        for (std::string_view rest = lines.substr(tail); !rest.empty();) {
            const std::string_view line = first_line(rest);
            equal(line);
            rest.remove_prefix(line.size());
        }
    }

    // The old lines `removed` become the new lines `added`.
    void change(LineRange removed, LineRange added) {
        if (removed.size() == 0 && added.size() == 0) {
            return;
        }
        if (!open_) {
            open_ = true;
            old_start_ = old_seen_ - context_.size();
            new_start_ = new_seen_ - context_.size();
            old_count_ = new_count_ = 0;
            for (const std::string& line : context_) {
                add(body_, ' ', line);
            }
            context_.clear();
        } else {
            for (const std::string& line : trailing_) {
                add(body_, ' ', line);
            }
            trailing_.clear();
        }
        for (const std::string* line = removed.first; line != removed.last; ++line) {
            add(removed_, '-', *line);
        }
        for (const std::string* line = added.first; line != added.last; ++line) {
            add(added_, '+', *line);
        }
        old_seen_ += removed.size();
        new_seen_ += added.size();
    }

    // Writes the last hunk and everything still held; gives 0 or the first write error.
    int finish() {
        if (open_) {
            close_hunk();
        }
        flush();
        return error_;
    }

    int error() const { return error_; }

  private:
    // Adds one line to a part of the open hunk, marked ' ', '-' or '+'.
    void add(std::string& part, char mark, std::string_view line) {
        part += mark;
        part += line;
        if (line.empty() || line.back() != '\n') {
            part += "\n\\ No newline at end of file\n";
        }
        old_count_ += mark != '+' ? 1 : 0;
        new_count_ += mark != '-' ? 1 : 0;
    }

    // Puts the change being gathered into the body: its old lines, then its new ones.
    void end_change() {
        body_ += removed_;
        body_ += added_;
        removed_.clear();
        added_.clear();
    }

    // Ends the open hunk with up to kContext lines of trailing context and queues it for writing;
    // the last kContext unchanged lines become the context before the next change.
    void close_hunk() {
        end_change();
        const std::size_t shown = std::min(kContext, trailing_.size());
        for (std::size_t i = 0; i < shown; ++i) {
            add(body_, ' ', trailing_[i]);
        }
        if (!header_written_) {
            out_ += "--- " + label_ + "\n+++ " + label_ + "\n";
            header_written_ = true;
        }
        out_ += "@@ -" + range_text(old_start_, old_count_) + " +" +
                range_text(new_start_, new_count_) + " @@\n";
        out_ += body_;
        body_.clear();
        context_.clear();
        const std::size_t from = trailing_.size() - std::min(kContext, trailing_.size());
        for (std::size_t i = from; i < trailing_.size(); ++i) {
            context_.push_back(std::move(trailing_[i]));
        }
        trailing_.clear();
        open_ = false;
        if (out_.size() >= kFlushSize) {
            flush();
        }
    }

    void flush() {
        if (error_ == 0) {
            error_ = write_all(fd_, out_);
        }
        out_.clear();
    }

    int fd_;
    std::string label_;
    bool header_written_ = false;
    std::string out_;  // whole hunks waiting to be written
    int error_ = 0;

    std::size_t old_seen_ = 0;         // lines of the old side handed in so far
    std::size_t new_seen_ = 0;         // lines of the new side handed in so far
    std::deque<std::string> context_;  // the last kContext unchanged lines, while no hunk is open

    bool open_ = false;          // a hunk is open: it holds a change, and no more than 2 * kContext
                                 // unchanged lines have come since its last change
    std::size_t old_start_ = 0;  // the lines of each side before the open hunk
    std::size_t new_start_ = 0;
    std::size_t old_count_ = 0;  // the lines of each side in the open hunk
    std::size_t new_count_ = 0;
    std::string body_;                   // the open hunk up to the change being gathered
    std::string removed_;                // the old lines of the change being gathered
    std::string added_;                  // the new lines of the change being gathered
    std::vector<std::string> trailing_;  // unchanged lines after the open hunk's last change
};

// Receives the rewritten stream and hands its diff to a HunkWriter. The old side is the input's
// lines. The new side is the byte stream of the output, split after each line feed: a changed
// line's new form may hold line feeds of its own (one old line, several new ones) or lack its
// final one (its new line runs on into the next line's output, changed or kept). So old and new
// lines are gathered until the two sides meet again at a line boundary; that stretch is one
// change, less the lines it begins or ends with on both sides, which stay unchanged lines.
class DiffSink final : public RewriteSink {
  public:
    DiffSink(int fd, std::string label) : hunks_(fd, std::move(label)) {}

    int keep(std::string_view lines) override {
        return guarded([&] {
            // Kept lines that finish a new line begun by a changed line belong to the change.
            while (!unfinished_.empty() && !lines.empty()) {
                const std::string_view line = first_line(lines);
                removed_.emplace_back(line);
                add_new_bytes(line);
                lines.remove_prefix(line.size());
            }
            settle();
            hunks_.equal_run(lines);
        });
    }

    int change(std::string_view line, const LineOutput& output) override {
        return guarded([&] {
            removed_.emplace_back(line);
            for (std::size_t i = 0; i < output.count; ++i) {
                add_new_bytes(output.parts[i]);
            }
            settle();
        });
    }

    int release() override { return 0; }  // every line kept is a copy

    // Ends the diff once the whole input is handed in; gives 0 or an error number.
    int finish() {
        const int error = guarded([&] {
            if (!unfinished_.empty()) {
                added_.push_back(std::move(unfinished_));  // the new side's last line, no feed
                unfinished_.clear();
            }
            settle();
        });
        return error != 0 ? error : hunks_.finish();
    }

    bool out_of_memory() const { return out_of_memory_; }

  private:
    template <typename Step>
    int guarded(Step step) {
        try {
            step();
        } catch (const std::bad_alloc&) {
            out_of_memory_ = true;
            return ENOMEM;
        }
        return hunks_.error();
    }

    // Appends output bytes to the new side, ending a new line at each line feed.
    void add_new_bytes(std::string_view bytes) {
        while (!bytes.empty()) {
            const std::string_view piece = first_line(bytes);
            unfinished_ += piece;
            bytes.remove_prefix(piece.size());
            if (unfinished_.back() == '\n') {
                added_.push_back(std::move(unfinished_));
                unfinished_.clear();
            }
        }
    }

    // Once both sides are at a line boundary, hands the gathered stretch on: the lines it begins
    // and ends with on both sides as unchanged lines, the rest as one change.
    void settle() {
        if (!unfinished_.empty()) {
            return;
        }
        const std::size_t old_size = removed_.size();
        const std::size_t new_size = added_.size();
        const std::size_t shorter = std::min(old_size, new_size);
        std::size_t head = 0;
        while (head < shorter && removed_[head] == added_[head]) {
            ++head;
        }
        std::size_t tail = 0;
        while (head + tail < shorter &&
               removed_[old_size - 1 - tail] == added_[new_size - 1 - tail]) {
            ++tail;
        }
        for (std::size_t i = 0; i < head; ++i) {
            hunks_.equal(removed_[i]);
        }
        const std::string* old_lines = removed_.data();
        const std::string* new_lines = added_.data();
        hunks_.change({old_lines + head, old_lines + old_size - tail},
                      {new_lines + head, new_lines + new_size - tail});
        for (std::size_t i = old_size - tail; i < old_size; ++i) {
            hunks_.equal(removed_[i]);
        }
        removed_.clear();
        added_.clear();
    }

    HunkWriter hunks_;
    std::vector<std::string> removed_;  // the old lines of the stretch being gathered
    std::vector<std::string> added_;    // its finished new lines
    std::string unfinished_;  // a new line begun in the stretch and not yet ended by a line feed
    bool out_of_memory_ = false;
};

}  // namespace

std::string diff_label(std::string_view path) {
    const auto plain = [](unsigned char c) { return c > ' ' && c < 0x7f && c != '"' && c != '\\'; };
    if (std::all_of(path.begin(), path.end(), plain)) {
        return std::string(path);
    }
    std::string quoted = "\"";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\a':
                quoted += "\\a";
                break;
            case '\b':
                quoted += "\\b";
                break;
            case '\t':
                quoted += "\\t";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\v':
                quoted += "\\v";
                break;
            case '\f':
                quoted += "\\f";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            default:
                if (byte < ' ' || byte >= 0x7f) {
                    const char octal[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                                          static_cast<char>('0' + ((byte >> 3) & 7)),
                                          static_cast<char>('0' + (byte & 7))};
                    quoted.append(octal, sizeof octal);
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

std::optional<StreamFailure> preview_stream(int in_fd, int out_fd, std::string_view label,
                                            const Rule& rule, std::size_t block_size) {
    DiffSink sink(out_fd, diff_label(label));
    auto failed = rewrite_lines(in_fd, rule, block_size, sink);
    if (!failed) {
        if (const int error = sink.finish()) {
            failed = StreamFailure{StreamFailure::Side::Write, error};
        }
    }
    if (failed && sink.out_of_memory()) {
        // Like a line too long for memory in a real run: the input could not be taken in.
        return StreamFailure{StreamFailure::Side::Read, ENOMEM};
    }
    return failed;
}

std::optional<Failure> preview_file(const std::string& input_path, const Rule& rule, int out_fd,
                                    std::size_t block_size) {
    struct stat status {};
    int input_fd = -1;
    if (auto failure = open_regular_input(input_path, input_fd, status)) {
        return failure;
    }
    const auto failed = preview_stream(input_fd, out_fd, input_path, rule, block_size);
    ::close(input_fd);
    if (!failed) {
        return std::nullopt;
    }
    if (failed->side == StreamFailure::Side::Read) {
        return Failure{FailureKind::ReadInput, failed->error, input_path, {}};
    }
    return Failure{FailureKind::WriteOutput, failed->error, {}, {}};
}

}  // namespace linemorph
