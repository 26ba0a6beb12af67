// The read loop: streams an input through the line rewriter in large blocks. Each block is searched
// as a whole for the search string, so only the lines that hold it reach the rewriter; the runs of
// lines between them are handed on untouched, straight from the read buffer.
#ifndef LINEMORPH_STREAM_REWRITE_H
#define LINEMORPH_STREAM_REWRITE_H

#include <cstddef>
#include <optional>
#include <string_view>

#include "line_rewriter.h"

namespace linemorph {

// Receives a rewritten stream in input order: keep() and change() for the lines, release()
// whenever the read buffer is about to be reused, and finish() once, after the last line. Each
// call gives 0 or an error number, which ends the stream. The views handed in point into the read
// buffer: they stay valid until the next call of release() or finish(), and not after it.
class RewriteSink {
  public:
    virtual ~RewriteSink() = default;

    // Bytes that stay as they are: whole lines, each with its line feed, except that the input's
    // last line may lack one.
    virtual int keep(std::string_view lines) = 0;

    // One line (with its line feed, if it has one) and the different form it takes.
    virtual int change(std::string_view line, const LineOutput& output) = 0;

    // The read buffer is about to be reused: views from earlier calls must be done with.
    virtual int release() = 0;

    // The whole input has been handed in: whatever the sink still holds must be done with.
    virtual int finish() = 0;
};

// Which side of a stream rewrite failed, with the system's error number.
struct StreamFailure {
    enum class Side { Read, Write } side;
    int error;
};

// The size of the blocks the input is read in.
constexpr std::size_t kDefaultBlockSize = std::size_t{256} * 1024;

// Reads `in_fd` to its end in blocks of `block_size` bytes and hands every line to `sink` in
// order, kept or changed under `rule`; the last call is finish(). A line longer than a block
// is still handled whole: the buffer grows for it alone. Gives a read error, or a sink's error as
// a write error.
std::optional<StreamFailure> scan_lines(int in_fd, const Rule& rule, std::size_t block_size,
                                        RewriteSink& sink);

}  // namespace linemorph

#endif
