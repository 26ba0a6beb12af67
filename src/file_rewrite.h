// The in-place rewrite of one file: stream it through the line rewriter into a temporary file
// beside it, then put that file in its place, or leave the input untouched on any failure.
#ifndef LINEMORPH_FILE_REWRITE_H
#define LINEMORPH_FILE_REWRITE_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "atomic_file.h"
#include "failure.h"
#include "file_writer.h"
#include "input_file.h"
#include "line_rewriter.h"
#include "stream_rewrite.h"
#include "symlink_resolution.h"

namespace linemorph {

// A rewrite made ready to take its input's place: the input, open and under its shared lock, and
// the temporary file holding the whole result, locked, with the input's owner and mode.
struct PreparedRewrite {
    explicit PreparedRewrite(const std::string& input_path) : temp(input_path) {}

    InputFile input;
    AtomicFile temp;  // destroyed first: it removes itself while the input is still held
};

// Does everything a rewrite does before the rename, into `rewrite`: opens the input at
// `input_path` (the path `rewrite` was made for, no link to follow left on it) unless
// `rewrite.input` is open already, opened by open_input (then it is read again from its start),
// creates the temporary file, streams the input through `rule` into it and prepares it (synced
// unless `sync` defers that); gives nothing on success. On a failure the input is untouched, and
// destroying `rewrite` removes the temporary file.
std::optional<Failure> prepare_rewrite(const std::string& input_path, PreparedRewrite& rewrite,
                                       const Rule& rule, SyncStep sync,
                                       std::size_t block_size = kDefaultBlockSize);

// Rewrites the file at `given_path` in place under `rule`, or with LinkHandling::Follow the file
// at the end of its chain of symbolic links; gives nothing on success. On any failure before the
// rename, the input is untouched and the temporary file is gone.
std::optional<Failure> rewrite_file(const std::string& given_path, const Rule& rule,
                                    std::size_t block_size = kDefaultBlockSize,
                                    LinkHandling links = LinkHandling::Replace);

// Reads `in_fd` to its end and writes the output form of each of its lines to `out_fd`, reading
// in blocks of `block_size` bytes, through a FileWriter of `sizes`.
std::optional<StreamFailure> copy_rewritten(int in_fd, int out_fd, const Rule& rule,
                                            std::size_t block_size = kDefaultBlockSize,
                                            WriterSizes sizes = {});

}  // namespace linemorph

#endif
