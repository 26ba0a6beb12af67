#include "dry_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "symlink_resolution.h"

namespace linemorph {

namespace {

constexpr std::size_t kContext = 3;  // unchanged lines shown around each change, as diff -u
constexpr std::size_t kFlushSize = std::size_t{64} * 1024;

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

// Buffers small writes to a file descriptor and writes a large piece straight from where it lies,
// so that output never copies a long line. The first write error is kept and stops all writing.
class Output {
  public:
    explicit Output(int fd) : fd_(fd) {}

    void put(std::string_view bytes) {
        if (buffer_.size() + bytes.size() > kFlushSize) {
            flush();
            if (bytes.size() >= kFlushSize) {
                write_out(bytes);
                return;
            }
        }
        buffer_ += bytes;
    }

    void flush() {
        write_out(buffer_);
        buffer_.clear();
    }

    int error() const { return error_; }

  private:
    void write_out(std::string_view bytes) {
        if (error_ == 0) {
            error_ = write_all(fd_, bytes);
        }
    }

    int fd_;
    std::string buffer_;
    int error_ = 0;
};

// Whole lines, one after another, to be shown in a hunk with one mark: ' ', '-' or '+'.
struct Part {
    char mark;
    std::string_view lines;
};

// Gives the number of bytes in the first `count` lines of `lines` (all of it when it has fewer).
std::size_t head_size(std::string_view lines, std::size_t count) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count && size < lines.size(); ++i) {
        size += first_line(lines.substr(size)).size();
    }
    return size;
}

// Where the hunk being written stands in the input: the context shown before its first change is
// cut to no more lines than the context after its last one, as patch reads a hunk with less
// context after than before as one that ends the file; at the end of the input it is not cut.
enum class HunkEnd { InsideInput, EndOfInput };

// Turns a sequence of lines that are the same on both sides and of changes (old lines replaced by
// new ones) into the hunks of a unified diff, and writes them. As in diff -u, changes with no
// unchanged line between them make one change, its old lines shown before its new ones, and
// changes whose context would touch or overlap share a hunk.
//
// It holds the open hunk and the last kContext unchanged lines, never more than `bound` bytes of
// lines in all. A change that would take the open hunk past that is written at once, straight
// from where its lines lie, as the end of the hunk, with no context after it and so none before
// it; the next change starts a new hunk right after. An unchanged line that would take it past is
// not held: the open hunk ends before it, and the context before the next change drops lines
// from its front to stay within the bound. Such hunks differ from those of diff -u, but patch
// applies them exactly; hunks within the bound are those of diff -u.
class HunkWriter {
  public:
    HunkWriter(int fd, std::string label, std::size_t bound)
        : out_(fd), label_(std::move(label)), bound_(bound) {}

    // One line (with its line feed, if it has one) that is the same on both sides.
    void equal(std::string_view line) {
        ++old_seen_;
        ++new_seen_;
        if (open_) {
            end_change();
            if (trailing_lines_ == 2 * kContext) {
                // The next change is too far off to share this hunk.
                close_hunk(kContext, HunkEnd::InsideInput);
            } else if (held_ + line.size() > bound_) {
                close_hunk(trailing_lines_, HunkEnd::InsideInput);
            } else {
                trailing_ += line;
                ++trailing_lines_;
                held_ += line.size();
                return;
            }
        }
        add_context(line);
    }

    // Whole lines that are the same on both sides; only the last few are held.
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

    // The old lines `removed` become the new lines `added` (each whole lines, one after another).
    void change(std::string_view removed, std::string_view added) {
        if (removed.empty() && added.empty()) {
            return;
        }
        if (!open_) {
            open_ = true;
            old_start_ = old_seen_ - context_lines_;
            new_start_ = new_seen_ - context_lines_;
            lead_ = std::move(context_);
            lead_lines_ = context_lines_;
            context_.clear();
            context_lines_ = 0;
            held_ = lead_.size();
        } else if (trailing_lines_ > 0) {
            body_.push_back({' ', std::move(trailing_)});
            trailing_.clear();
            trailing_lines_ = 0;
        }
        old_seen_ += count_lines(removed);
        new_seen_ += count_lines(added);
        if (held_ + removed.size() + added.size() > bound_) {
            write_hunk(0, 0, removed, added);
            return;
        }
        removed_ += removed;
        added_ += added;
        held_ += removed.size() + added.size();
    }

    // Writes the last hunk and everything still held; gives 0 or the first write error.
    int finish() {
        if (open_) {
            close_hunk(std::min(kContext, trailing_lines_), HunkEnd::EndOfInput);
        }
        out_.flush();
        return out_.error();
    }

    int error() const { return out_.error(); }

  private:
    // Adds an unchanged line to the context of the next change: the last kContext lines, less
    // those at the front that would take it past the bound.
    void add_context(std::string_view line) {
        if (line.size() > bound_) {
            context_.clear();
            context_lines_ = 0;
            return;
        }
        context_ += line;
        ++context_lines_;
        while (context_lines_ > kContext || context_.size() > bound_) {
            context_.erase(0, first_line(context_).size());
            --context_lines_;
        }
    }

    // Puts the change being gathered into the body: its old lines, then its new ones.
    void end_change() {
        if (!removed_.empty()) {
            body_.push_back({'-', std::move(removed_)});
            removed_.clear();
        }
        if (!added_.empty()) {
            body_.push_back({'+', std::move(added_)});
            added_.clear();
        }
    }

    // Ends the open hunk after its first `shown` trailing lines; the unchanged lines after those
    // (the last kContext of them) become the context before the next change.
    void close_hunk(std::size_t shown, HunkEnd end) {
        const std::size_t lead_shown =
            end == HunkEnd::EndOfInput ? lead_lines_ : std::min(lead_lines_, shown);
        const std::size_t split = head_size(trailing_, shown);
        std::string rest = trailing_.substr(split);
        write_hunk(lead_shown, split, {}, {});
        for (std::string_view lines = rest; !lines.empty();) {
            const std::string_view line = first_line(lines);
            add_context(line);
            lines.remove_prefix(line.size());
        }
    }

    // Writes the open hunk, showing the last `lead_shown` lines of its leading context and the
    // first `trailing_size` bytes of its trailing lines, with the lines `removed` and `added`
    // ending its last change; then holds no hunk.
    void write_hunk(std::size_t lead_shown, std::size_t trailing_size, std::string_view removed,
                    std::string_view added) {
        const std::size_t lead_cut = lead_lines_ - lead_shown;
        std::vector<Part> parts;
        parts.push_back({' ', std::string_view(lead_).substr(tail_start(lead_, lead_shown))});
        std::transform(body_.begin(), body_.end(), std::back_inserter(parts),
                       [](const Segment& segment) {
                           return Part{segment.mark, segment.lines};
                       });
        parts.push_back({'-', removed_});
        parts.push_back({'-', removed});
        parts.push_back({'+', added_});
        parts.push_back({'+', added});
        parts.push_back({' ', std::string_view(trailing_).substr(0, trailing_size)});
        std::size_t old_count = 0;
        std::size_t new_count = 0;
        for (const Part& part : parts) {
            const std::size_t lines = count_lines(part.lines);
            old_count += part.mark != '+' ? lines : 0;
            new_count += part.mark != '-' ? lines : 0;
        }
        if (!header_written_) {
            out_.put("--- " + label_ + "\n+++ " + label_ + "\n");
            header_written_ = true;
        }
        out_.put("@@ -" + range_text(old_start_ + lead_cut, old_count) + " +" +
                 range_text(new_start_ + lead_cut, new_count) + " @@\n");
        for (const Part& part : parts) {
            for (std::string_view rest = part.lines; !rest.empty();) {
                const std::string_view line = first_line(rest);
                out_.put(std::string_view(&part.mark, 1));
                out_.put(line);
                if (line.back() != '\n') {
                    out_.put("\n\\ No newline at end of file\n");
                }
                rest.remove_prefix(line.size());
            }
        }
        open_ = false;
        held_ = 0;
        lead_.clear();
        lead_lines_ = 0;
        body_.clear();
        removed_.clear();
        added_.clear();
        trailing_.clear();
        trailing_lines_ = 0;
    }

    // Lines of the open hunk shown with one mark, held in one string.
    struct Segment {
        char mark;
        std::string lines;
    };

    Output out_;
    std::string label_;
    std::size_t bound_;
    bool header_written_ = false;

    std::size_t old_seen_ = 0;       // lines of the old side handed in so far
    std::size_t new_seen_ = 0;       // lines of the new side handed in so far
    std::string context_;            // the last unchanged lines, while no hunk is open
    std::size_t context_lines_ = 0;  // how many

    bool open_ = false;          // a hunk is open: it holds a change, and no more than 2 * kContext
                                 // unchanged lines have come since its last change
    std::size_t held_ = 0;       // the bytes of lines the open hunk holds
    std::size_t old_start_ = 0;  // the lines of each side before the open hunk
    std::size_t new_start_ = 0;
    std::string lead_;  // the unchanged lines before its first change
    std::size_t lead_lines_ = 0;
    std::vector<Segment> body_;  // from its first change up to the change being gathered
    std::string removed_;        // the old lines of the change being gathered
    std::string added_;          // the new lines of the change being gathered
    std::string trailing_;       // unchanged lines after its last change
    std::size_t trailing_lines_ = 0;
};

// Whole lines, one after another in `bytes`, line i ending at ends[i].
struct LineSeq {
    std::string_view bytes;
    const std::size_t* ends;
    std::size_t count;

    std::size_t start(std::size_t i) const { return i == 0 ? 0 : ends[i - 1]; }
    std::string_view line(std::size_t i) const { return lines(i, i + 1); }
    // Gives lines [from, to) as one view.
    std::string_view lines(std::size_t from, std::size_t to) const {
        return from == to ? std::string_view()
                          : bytes.substr(start(from), ends[to - 1] - start(from));
    }
};

// Lines held in one string with where each ends, so that a line costs its bytes and one offset;
// the string may end with the start of a line not ended yet.
class LineStore {
  public:
    // Appends one whole line, with or without a line feed.
    void append_line(std::string_view line) {
        bytes_ += line;
        ends_.push_back(bytes_.size());
    }

    // Appends bytes, ending a line after each line feed.
    void append_bytes(std::string_view bytes) {
        std::size_t at = bytes_.size();
        bytes_ += bytes;
        while ((at = bytes_.find('\n', at)) != std::string::npos) {
            ends_.push_back(++at);
        }
    }

    // Ends the unfinished line where it stands.
    void end_line() {
        if (unfinished()) {
            ends_.push_back(bytes_.size());
        }
    }

    // Forgets all lines; keeps the room they took unless it is large.
    void clear() {
        bytes_.clear();
        ends_.clear();
        if (bytes_.capacity() > kFlushSize) {
            bytes_.shrink_to_fit();
        }
        if (ends_.capacity() > kFlushSize / sizeof(std::size_t)) {
            ends_.shrink_to_fit();
        }
    }

    bool empty() const { return bytes_.empty(); }
    bool unfinished() const { return bytes_.size() > finished_size(); }

    // Gives the ended lines.
    LineSeq finished() const {
        return {std::string_view(bytes_).substr(0, finished_size()), ends_.data(), ends_.size()};
    }

    // Gives the memory the ended lines take.
    std::size_t weight() const { return finished_size() + ends_.size() * sizeof(std::size_t); }

    // Forgets the ended lines; the unfinished one stays.
    void drop_finished() {
        bytes_.erase(0, finished_size());
        ends_.clear();
    }

  private:
    std::size_t finished_size() const { return ends_.empty() ? 0 : ends_.back(); }

    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// Receives the rewritten stream and hands its diff to a HunkWriter. The old side is the input's
// lines. The new side is the byte stream of the output, split after each line feed: a changed
// line's new form may hold line feeds of its own (one old line, several new ones) or lack its
// final one (its new line runs on into the next line's output, changed or kept). So old and new
// lines are gathered until the two sides meet again at a line boundary; that stretch is one
// change, less the lines it begins or ends with on both sides, which stay unchanged lines.
//
// A stretch whose ended lines outweigh `bound` is handed on as it stands, as if the sides met
// there; only the new line not ended yet stays. So memory holds no more than the bound and that
// line, whatever the length of the stretch.
class DiffSink final : public RewriteSink {
  public:
    DiffSink(int fd, std::string label, std::size_t bound)
        : hunks_(fd, std::move(label), bound), bound_(bound) {}

    int keep(std::string_view lines) override {
        return guarded([&] {
            // Kept lines that finish a new line begun by a changed line belong to the change.
            while (new_.unfinished() && !lines.empty()) {
                const std::string_view line = first_line(lines);
                old_.append_line(line);
                new_.append_bytes(line);
                lines.remove_prefix(line.size());
                hand_on_if_heavy();
            }
            if (!new_.unfinished() && !old_.empty()) {
                settle();
            }
            hunks_.equal_run(lines);
        });
    }

    int change(std::string_view line, const LineOutput& output) override {
        return guarded([&] {
            const bool fresh = old_.empty() && new_.empty();
            for (std::size_t i = 0; i < output.count; ++i) {
                new_.append_bytes(output.parts[i]);
            }
            if (fresh && !new_.unfinished()) {
                // The common case, a stretch of this line alone: hand it on where it lies.
                const std::size_t end = line.size();
                hand_on({line, &end, 1}, new_.finished());
                new_.clear();
                return;
            }
            old_.append_line(line);
            if (new_.unfinished()) {
                hand_on_if_heavy();
            } else {
                settle();
            }
        });
    }

    int release() override { return 0; }  // every line held is a copy

    // Ends the diff once the whole input is handed in; gives 0 or an error number.
    int finish() {
        const int error = guarded([&] {
            new_.end_line();  // the new side's last line, with no line feed
            if (!old_.empty() || !new_.empty()) {
                settle();
            }
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

    // Hands on the stretch, both sides at a line boundary, and starts a new one.
    void settle() {
        hand_on(old_.finished(), new_.finished());
        old_.clear();
        new_.clear();
    }

    // Hands on what the stretch holds when it outweighs the bound. Its old lines and its ended
    // new lines are a change on their own, followed by the rest of the stretch as another: a
    // longer diff than one change, but as exact.
    void hand_on_if_heavy() {
        if (old_.weight() + new_.weight() > bound_) {
            hand_on(old_.finished(), new_.finished());
            old_.clear();
            new_.drop_finished();
        }
    }

    // Hands on old lines and the new lines they become: the lines they begin and end with on
    // both sides as unchanged lines, the rest as one change.
    void hand_on(LineSeq old_lines, LineSeq new_lines) {
        const std::size_t shorter = std::min(old_lines.count, new_lines.count);
        std::size_t head = 0;
        while (head < shorter && old_lines.line(head) == new_lines.line(head)) {
            ++head;
        }
        std::size_t tail = 0;
        while (head + tail < shorter && old_lines.line(old_lines.count - 1 - tail) ==
                                            new_lines.line(new_lines.count - 1 - tail)) {
            ++tail;
        }
        hunks_.equal_run(old_lines.lines(0, head));
        hunks_.change(old_lines.lines(head, old_lines.count - tail),
                      new_lines.lines(head, new_lines.count - tail));
        hunks_.equal_run(old_lines.lines(old_lines.count - tail, old_lines.count));
    }

    HunkWriter hunks_;
    std::size_t bound_;
    LineStore old_;  // the old lines of the stretch being gathered
    LineStore new_;  // its new lines, the last one perhaps not ended yet
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
                                            const Rule& rule, std::size_t block_size,
                                            std::size_t hunk_bound) {
    DiffSink sink(out_fd, diff_label(label), hunk_bound);
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

std::optional<Failure> preview_file(const std::string& given_path, const Rule& rule, int out_fd,
                                    std::size_t block_size, LinkHandling links) {
    std::string input_path = given_path;
    if (links == LinkHandling::Follow) {
        ResolvedPath resolved = resolve_symlinks(given_path);
        if (resolved.error != 0) {
            return Failure{FailureKind::StatInput, resolved.error, given_path, {}};
        }
        input_path = std::move(resolved.path);
    }
    struct stat status {};
    int input_fd = -1;
    if (auto failure = open_regular_input(input_path, input_fd, status)) {
        return failure;
    }
    // The diff written into the input would be read back and grow it without end.
    struct stat output {};
    if (::fstat(out_fd, &output) == 0 && output.st_dev == status.st_dev &&
        output.st_ino == status.st_ino) {
        ::close(input_fd);
        return Failure{FailureKind::WriteToInput, 0, input_path, {}};
    }
    const auto failed = preview_stream(input_fd, out_fd, given_path, rule, block_size);
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
