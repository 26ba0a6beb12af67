// Unified diffs, made as the lines come: a hunk builder that turns unchanged lines and changes
// into the hunks of `diff -u` (three lines of context, merged where contexts touch, bounded in
// memory), and a printer that only formats hunks in that format.
#ifndef LINEMORPH_UNIFIED_DIFF_H
#define LINEMORPH_UNIFIED_DIFF_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace linemorph {

// The bytes of lines a hunk builder holds back at most while it gathers a hunk. A hunk that would
// hold more is handed on when it reaches this size, cut where it stands, with less context or none
// on either side of the cut; a change cut in two goes on in the next hunk, right after it. patch
// applies such hunks exactly. Hunks that stay below this size are exactly those of diff -u.
constexpr std::size_t kHunkBound = 1 << 20;

// Whole lines, one after another, shown in a hunk with one mark: ' ', '-' or '+'.
struct HunkPart {
    char mark;
    std::string_view lines;
};

// One hunk: how many lines of each side come before it, and its lines in order. The views are
// valid only during the call that hands the hunk on.
struct Hunk {
    std::size_t old_before = 0;
    std::size_t new_before = 0;
    std::vector<HunkPart> parts;
};

// Receives the hunks of a diff in order.
class HunkSink {
  public:
    virtual ~HunkSink() = default;
    virtual void hunk(const Hunk& hunk) = 0;
};

// Turns a sequence of lines that are the same on both sides and of changes (old lines replaced by
// new ones) into the hunks of a unified diff, and hands each to a HunkSink as soon as it is
// complete. As in diff -u, changes with no unchanged line between them make one change, its old
// lines shown before its new ones, and changes whose context would touch or overlap share a hunk.
//
// It holds the open hunk and the last three unchanged lines, never more than `bound` bytes of
// lines in all. A change that would take the open hunk past that is handed on at once, straight
// from where its lines lie, as the end of the hunk, with no context after it and so none before
// it; the next change starts a new hunk right after. An unchanged line that would take it past is
// not held: the open hunk ends before it, and the context before the next change drops lines
// from its front to stay within the bound. Such hunks differ from those of diff -u, but patch
// applies them exactly; hunks within the bound are those of diff -u.
class HunkBuilder {
  public:
    HunkBuilder(std::size_t bound, HunkSink& sink);

    // One line (with its line feed, if it has one) that is the same on both sides.
    void equal(std::string_view line);

    // Whole lines that are the same on both sides; only the last few are held.
    void equal_run(std::string_view lines);

    // The old lines `removed` become the new lines `added` (each whole lines, one after another).
    void change(std::string_view removed, std::string_view added);

    // Hands on the last hunk, once every line is handed in.
    void finish();

  private:
    // Where a hunk being closed stands: the context shown before its first change is cut to no
    // more lines than the context after its last one, as patch reads a hunk with less context
    // after than before as one that ends the file; at the end of the input it is not cut.
    enum class HunkEnd { InsideInput, EndOfInput };

    void add_context(std::string_view line);
    void end_change();
    void close_hunk(std::size_t shown, HunkEnd end);
    void hand_on_hunk(std::size_t lead_shown, std::size_t trailing_size, std::string_view removed,
                      std::string_view added);

    // Lines of the open hunk shown with one mark, held in one string.
    struct Segment {
        char mark;
        std::string lines;
    };

    HunkSink& sink_;
    std::size_t bound_;

    std::size_t old_seen_ = 0;       // lines of the old side handed in so far
    std::size_t new_seen_ = 0;       // lines of the new side handed in so far
    std::string context_;            // the last unchanged lines, while no hunk is open
    std::size_t context_lines_ = 0;  // how many

    bool open_ = false;          // a hunk is open: it holds a change, and no more than twice the
                                 // context of unchanged lines have come since its last change
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

// Formats hunks as `diff -u` does and writes them to a file descriptor: both headers naming
// `label` before the first hunk, a range line per hunk, each line with its mark, and
// "\ No newline at end of file" after a line without a line feed. Small pieces are buffered; the
// first write error is kept and stops all writing.
class DiffPrinter final : public HunkSink {
  public:
    DiffPrinter(int fd, std::string label);

    void hunk(const Hunk& hunk) override;

    // Writes out what is buffered; gives 0 or the first write error.
    int finish();

    // Gives 0 or the first write error so far.
    int error() const { return error_; }

  private:
    void put(std::string_view bytes);
    void flush();
    void write_out(std::string_view bytes);

    int fd_;
    std::string label_;
    bool header_written_ = false;
    std::string buffer_;
    int error_ = 0;
};

// Gives `path` as a diff header shows it: as it is, or, when it holds a space, a double quote, a
// backslash or a byte that is not printable ASCII, in double quotes with C escapes, as GNU diff
// writes such names and GNU patch reads them.
std::string diff_label(std::string_view path);

// Gives the first line of `lines`: up to and including its line feed, or all of it.
std::string_view first_line(std::string_view lines);

// Gives the number of lines in `lines`, whose last line may lack its line feed.
std::size_t count_lines(std::string_view lines);

}  // namespace linemorph

#endif
