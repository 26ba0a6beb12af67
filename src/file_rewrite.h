// The in-place rewrite of one file: stream it through the line rewriter into a temporary file
// beside it, then put that file in its place, or leave the input untouched on any failure.
#ifndef LINEMORPH_FILE_REWRITE_H
#define LINEMORPH_FILE_REWRITE_H

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "file_writer.h"
#include "line_rewriter.h"
#include "stream_rewrite.h"

namespace linemorph {

// The process's exit statuses.
enum class ExitStatus : int {
    Success = 0,
    Usage = 1,         // an option not recognised, or a command line turned away
    RenameFailed = 2,  // the temporary file could not take the input's place (it is kept)
    StatFailed = 3,    // the input's status could not be taken (missing, path too long, ...)
    InputFailed = 4,   // the input could not be opened or read, or is not a regular file
    ModeFailed = 5,    // the new file's owner or mode could not be set
    OutputFailed = 6,  // the temporary file could not be created, written, synced or closed,
                       // or a dry run's diff could not be written or would go into its input
};

// What went wrong in a rewrite.
enum class FailureKind {
    StatInput,     // stat of the input failed
    OpenInput,     // open of the input failed
    NotRegular,    // the input is a directory, FIFO, device or socket
    ReadInput,     // reading the input failed
    OpenTemp,      // the temporary file could not be created (or another run holds it)
    WriteTemp,     // writing, syncing or closing the temporary file failed
    TempReplaced,  // the temporary path no longer names the file this run wrote
    Rename,        // renaming the temporary file onto the input failed
    SetMode,       // giving the new file the input's owner or mode failed
    WriteOutput,   // writing standard output failed (a dry run's diff)
    WriteToInput,  // a dry run's standard output is the input itself
};

// A failed rewrite: its kind, the system's error number (0 when none applies), and the paths the
// message names.
struct Failure {
    FailureKind kind;
    int error = 0;
    std::string path;
    std::string target;  // the rename's target, for FailureKind::Rename
};

// Rewrites the file at `input_path` in place under `rule`; gives nothing on success. On any
// failure before the rename, the input is untouched and the temporary file is gone.
std::optional<Failure> rewrite_file(const std::string& input_path, const Rule& rule,
                                    std::size_t block_size = kDefaultBlockSize);

// Takes the status of the input at `path`, makes sure it is a regular file and opens it for
// reading, with the checks and failures of a real run; on success `fd` is the open input (the
// caller closes it) and `status` its status.
std::optional<Failure> open_regular_input(const std::string& path, int& fd, struct stat& status);

// Reads `in_fd` to its end and writes the output form of each of its lines to `out_fd`, reading
// in blocks of `block_size` bytes, through a FileWriter of `sizes`.
std::optional<StreamFailure> rewrite_stream(int in_fd, int out_fd, const Rule& rule,
                                            std::size_t block_size = kDefaultBlockSize,
                                            WriterSizes sizes = {});

// Gives the exit status a failure of `kind` ends the run with.
ExitStatus exit_status(FailureKind kind);

// Gives the message a failure is reported with on standard error.
std::string failure_message(const Failure& failure);

}  // namespace linemorph

#endif
