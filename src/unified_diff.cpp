#include "unified_diff.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "fd_io.h"

namespace linemorph {

namespace {

constexpr std::size_t kContext = 3;  // unchanged lines shown around each change, as diff -u
constexpr std::size_t kFlushSize = std::size_t{64} * 1024;

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

// Gives the number of bytes in the first `count` lines of `lines` (all of it when it has fewer).
std::size_t head_size(std::string_view lines, std::size_t count) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count && size < lines.size(); ++i) {
        size += first_line(lines.substr(size)).size();
    }
    return size;
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

}  // namespace

std::string_view first_line(std::string_view lines) {
    const std::size_t feed = lines.find('\n');
    return feed == std::string_view::npos ? lines : lines.substr(0, feed + 1);
}

std::size_t count_lines(std::string_view lines) {
    const auto feeds = static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
    return feeds + (!lines.empty() && lines.back() != '\n' ? 1 : 0);
}

HunkBuilder::HunkBuilder(std::size_t bound, HunkSink& sink) : sink_(sink), bound_(bound) {}

void HunkBuilder::equal(std::string_view line) {
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

void HunkBuilder::equal_run(std::string_view lines) {
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

void HunkBuilder::change(std::string_view removed, std::string_view added) {
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
        hand_on_hunk(0, 0, removed, added);
        return;
    }
    removed_ += removed;
    added_ += added;
    held_ += removed.size() + added.size();
}

void HunkBuilder::finish() {
    if (open_) {
        close_hunk(std::min(kContext, trailing_lines_), HunkEnd::EndOfInput);
    }
}

// Adds an unchanged line to the context of the next change: the last kContext lines, less
// those at the front that would take it past the bound.
void HunkBuilder::add_context(std::string_view line) {
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
void HunkBuilder::end_change() {
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
void HunkBuilder::close_hunk(std::size_t shown, HunkEnd end) {
    const std::size_t lead_shown =
        end == HunkEnd::EndOfInput ? lead_lines_ : std::min(lead_lines_, shown);
    const std::size_t split = head_size(trailing_, shown);
    std::string rest = trailing_.substr(split);
    hand_on_hunk(lead_shown, split, {}, {});
    for (std::string_view lines = rest; !lines.empty();) {
        const std::string_view line = first_line(lines);
        add_context(line);
        lines.remove_prefix(line.size());
    }
}

// Hands on the open hunk, showing the last `lead_shown` lines of its leading context and the
// first `trailing_size` bytes of its trailing lines, with the lines `removed` and `added`
// ending its last change; then holds no hunk.
void HunkBuilder::hand_on_hunk(std::size_t lead_shown, std::size_t trailing_size,
                               std::string_view removed, std::string_view added) {
    const std::size_t lead_cut = lead_lines_ - lead_shown;
    Hunk hunk;
    hunk.old_before = old_start_ + lead_cut;
    hunk.new_before = new_start_ + lead_cut;
    std::vector<HunkPart>& parts = hunk.parts;
    parts.push_back({' ', std::string_view(lead_).substr(tail_start(lead_, lead_shown))});
    std::transform(body_.begin(), body_.end(), std::back_inserter(parts),
                   [](const Segment& segment) {
                       return HunkPart{segment.mark, segment.lines};
                   });
    parts.push_back({'-', removed_});
    parts.push_back({'-', removed});
    parts.push_back({'+', added_});
    parts.push_back({'+', added});
    parts.push_back({' ', std::string_view(trailing_).substr(0, trailing_size)});
    parts.erase(std::remove_if(parts.begin(), parts.end(),
                               [](const HunkPart& part) { return part.lines.empty(); }),
                parts.end());
    sink_.hunk(hunk);
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

DiffPrinter::DiffPrinter(int fd, std::string label) : fd_(fd), label_(std::move(label)) {}

void DiffPrinter::hunk(const Hunk& hunk) {
    std::size_t old_count = 0;
    std::size_t new_count = 0;
    for (const HunkPart& part : hunk.parts) {
        const std::size_t lines = count_lines(part.lines);
        old_count += part.mark != '+' ? lines : 0;
        new_count += part.mark != '-' ? lines : 0;
    }
    if (!header_written_) {
        put("--- " + label_ + "\n+++ " + label_ + "\n");
        header_written_ = true;
    }
    put("@@ -" + range_text(hunk.old_before, old_count) + " +" +
        range_text(hunk.new_before, new_count) + " @@\n");
    for (const HunkPart& part : hunk.parts) {
        for (std::string_view rest = part.lines; !rest.empty();) {
            const std::string_view line = first_line(rest);
            put(std::string_view(&part.mark, 1));
            put(line);
            if (line.back() != '\n') {
                put("\n\\ No newline at end of file\n");
            }
            rest.remove_prefix(line.size());
        }
    }
}

int DiffPrinter::finish() {
    flush();
    return error_;
}

// A large piece is written straight from where it lies, so that output never copies a long line.
void DiffPrinter::put(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > kFlushSize) {
        flush();
        if (bytes.size() >= kFlushSize) {
            write_out(bytes);
            return;
        }
    }
    buffer_ += bytes;
}

void DiffPrinter::flush() {
    write_out(buffer_);
    buffer_.clear();
}

void DiffPrinter::write_out(std::string_view bytes) {
    if (error_ == 0) {
        error_ = write_all(fd_, bytes);
    }
}

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

}  // namespace linemorph
