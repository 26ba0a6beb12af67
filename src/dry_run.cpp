#include "dry_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fd_io.h"
#include "input_file.h"

namespace linemorph {

namespace {

// The room a line store keeps for reuse once cleared; more is given back.
constexpr std::size_t kRoomKept = std::size_t{64} * 1024;

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
        if (bytes_.capacity() > kRoomKept) {
            bytes_.shrink_to_fit();
        }
        if (ends_.capacity() > kRoomKept / sizeof(std::size_t)) {
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

// Receives the rewritten stream and hands its diff to a HunkBuilder, which hands the hunks to a
// DiffPrinter. The old side is the input's
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
        : printer_(fd, std::move(label)), hunks_(bound, printer_), bound_(bound) {}

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

    // Ends the diff: the last stretch, the last hunk, and the output written out.
    int finish() override {
        const int error = guarded([&] {
            new_.end_line();  // the new side's last line, with no line feed
            if (!old_.empty() || !new_.empty()) {
                settle();
            }
        });
        if (error != 0) {
            return error;
        }
        hunks_.finish();
        return printer_.finish();
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
        return printer_.error();
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

    DiffPrinter printer_;
    HunkBuilder hunks_;
    std::size_t bound_;
    LineStore old_;  // the old lines of the stretch being gathered
    LineStore new_;  // its new lines, the last one perhaps not ended yet
    bool out_of_memory_ = false;
};

}  // namespace

std::optional<StreamFailure> preview_stream(int in_fd, int out_fd, std::string_view label,
                                            const Rule& rule, std::size_t block_size,
                                            std::size_t hunk_bound) {
    DiffSink sink(out_fd, diff_label(label), hunk_bound);
    const auto failed = scan_lines(in_fd, rule, block_size, sink);
    if (failed && sink.out_of_memory()) {
        // Like a line too long for memory in a real run: the input could not be taken in.
        return StreamFailure{StreamFailure::Side::Read, ENOMEM};
    }
    return failed;
}

std::optional<Failure> preview_file(const std::string& given_path, const Rule& rule, int out_fd,
                                    std::size_t block_size, LinkHandling links) {
    ResolvedPath located;
    if (auto failure = locate_input(given_path, links, located)) {
        return failure;
    }
    const std::string& input_path = located.path;
    InputFile input;
    if (auto failure = open_input(input_path, input)) {
        return failure;
    }
    // The diff written into the input would be read back and grow it without end.
    struct stat output {};
    if (::fstat(out_fd, &output) == 0 && same_file(output, input.status)) {
        return Failure{FailureKind::WriteToInput, 0, input_path, {}};
    }
    // The headers name the path as given, so that patch, run where the command was, finds it.
    const auto failed = preview_stream(input.fd.get(), out_fd, given_path, rule, block_size);
    if (!failed) {
        return std::nullopt;
    }
    if (failed->side == StreamFailure::Side::Read) {
        return Failure{FailureKind::ReadInput, failed->error, input_path, {}};
    }
    return Failure{FailureKind::WriteOutput, failed->error, {}, {}};
}

}  // namespace linemorph
