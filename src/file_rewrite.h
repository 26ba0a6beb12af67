// The in-place rewrite of one file: stream it through the line rewriter into a temporary file
// beside it, then put that file in its place, or leave the input untouched on any failure.
#ifndef LINEMORPH_FILE_REWRITE_H
#define LINEMORPH_FILE_REWRITE_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "failure.h"
#include "file_writer.h"
#include "line_rewriter.h"
#include "stream_rewrite.h"
#include "symlink_resolution.h"

namespace linemorph {

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
