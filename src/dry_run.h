// The dry run: reads the input as a real run does and, instead of replacing it, shows the edit as
// a unified diff in the format of `diff -u`, which `patch` applies to make exactly what the real
// run would make.
#ifndef LINEMORPH_DRY_RUN_H
#define LINEMORPH_DRY_RUN_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "failure.h"
#include "line_rewriter.h"
#include "stream_rewrite.h"
#include "symlink_resolution.h"
#include "unified_diff.h"

namespace linemorph {

// Opens the file at `given_path` (with LinkHandling::Follow, the file at the end of its chain of
// symbolic links) with the checks and failures of a real run, then writes to `out_fd` the unified
// diff of the edit `rule` would make, with both headers naming `given_path`; writes nothing when
// no line would change. Creates, changes and removes nothing. A failed write
// to `out_fd` is a FailureKind::WriteOutput. When `out_fd` is the input itself (`>> input`), it
// fails with FailureKind::WriteToInput before reading, since the diff would grow the file it is
// reading without end.
std::optional<Failure> preview_file(const std::string& given_path, const Rule& rule, int out_fd,
                                    std::size_t block_size = kDefaultBlockSize,
                                    LinkHandling links = LinkHandling::Replace);

// Reads `in_fd` to its end and writes to `out_fd` the unified diff of the edit `rule` would make,
// with both headers naming `label`; nothing when no line would change. Hunks are cut at
// `hunk_bound` bytes (see kHunkBound), so memory holds a few times that and the longest lines,
// never the whole input.
std::optional<StreamFailure> preview_stream(int in_fd, int out_fd, std::string_view label,
                                            const Rule& rule,
                                            std::size_t block_size = kDefaultBlockSize,
                                            std::size_t hunk_bound = kHunkBound);

}  // namespace linemorph

#endif
