// The dry run: reads the input as a real run does and, instead of replacing it, shows the edit as
// a unified diff in the format of `diff -u`, which `patch` applies to make exactly what the real
// run would make.
#ifndef LINEMORPH_DRY_RUN_H
#define LINEMORPH_DRY_RUN_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "file_rewrite.h"
#include "line_rewriter.h"
#include "stream_rewrite.h"

namespace linemorph {

// Opens the file at `input_path` with the checks and failures of a real run, then writes to
// `out_fd` the unified diff of the edit `rule` would make, with both headers naming `input_path`;
// writes nothing when no line would change. Creates, changes and removes nothing. A failed write
// to `out_fd` is a FailureKind::WriteOutput.
std::optional<Failure> preview_file(const std::string& input_path, const Rule& rule, int out_fd,
                                    std::size_t block_size = kDefaultBlockSize);

// Reads `in_fd` to its end and writes to `out_fd` the unified diff of the edit `rule` would make,
// with both headers naming `label`; nothing when no line would change. Memory holds the lines
// of one hunk and its context, never the whole input.
std::optional<StreamFailure> preview_stream(int in_fd, int out_fd, std::string_view label,
                                            const Rule& rule,
                                            std::size_t block_size = kDefaultBlockSize);

// Gives `path` as a diff header shows it: as it is, or, when it holds a space, a double quote, a
// backslash or a byte that is not printable ASCII, in double quotes with C escapes, as GNU diff
// writes such names and GNU patch reads them.
std::string diff_label(std::string_view path);

}  // namespace linemorph

#endif
