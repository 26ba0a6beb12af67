// The writer of a rewritten stream: its output goes to a file in few large writes, however many
// lines change.
#ifndef LINEMORPH_FILE_WRITER_H
#define LINEMORPH_FILE_WRITER_H

#include <sys/types.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

#include "line_rewriter.h"
#include "stream_rewrite.h"

namespace linemorph {

// What shapes the file writer's writes.
struct WriterSizes {
    // The output buffer that short stretches are copied into and that is written when full.
    std::size_t buffer = std::size_t{256} * 1024;
    // Stretches of at least this many bytes are written from where they lie, not copied.
    std::size_t copy_limit = 1024;
};

// Writes a rewritten stream to `fd`. Bytes that lie one after another in memory make one
// stretch. A short stretch (a changed line's parts, a short run of kept lines) is copied into the
// output buffer; a long one (a long run of kept lines) stays where it is, in the read buffer, and
// is written from there by the same writev as the buffer before it, at the latest at release().
// So the writes follow the bytes written, not the lines changed: about one per buffer, one per
// read block with a long run in it, and one per kMaxPieces / 2 long runs. Writeback is started
// every kWritebackStep bytes. The first error ends the stream; the file is then to be discarded.
class FileWriter final : public RewriteSink {
  public:
    explicit FileWriter(int fd, WriterSizes sizes = {});

    int keep(std::string_view lines) override;
    int change(std::string_view line, const LineOutput& output) override;
    int release() override;
    // Writes what is still buffered.
    int finish() override;

  private:
    static constexpr int kMaxPieces = 128;  // well within IOV_MAX everywhere
    static constexpr off_t kWritebackStep = 8 << 20;

    int change_slowly(const LineOutput& output);
    int add(std::string_view bytes);
    int settle();
    int copy(std::string_view bytes);
    int copy_slowly(std::string_view bytes);
    int refer(std::string_view bytes);
    void close_copy();
    int flush();

    int fd_;
    WriterSizes sizes_;
    std::unique_ptr<char[]> buffer_;  // made at the first copy
    char* cursor_ = nullptr;          // where the next copy goes in buffer_
    char* limit_ = nullptr;           // the end of buffer_
    char* open_ = nullptr;      // the start of the piece the copies go to, not yet among pieces_
    std::string_view pending_;  // the stretch being gathered, neither copied nor referred to
    // What the next writev writes, in order; one place stays free while a piece is open.
    std::array<iovec, kMaxPieces> pieces_{};
    int count_ = 0;
    bool in_place_ = false;  // some piece lies outside buffer_: it must be written by release()
    off_t written_ = 0;      // bytes written so far
    off_t started_ = 0;      // bytes whose writeback has been started
};

}  // namespace linemorph

#endif
