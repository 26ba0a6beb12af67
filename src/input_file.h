// The checked input: the file a run reads, opened only when it is a regular file and no other
// process is writing it under an exclusive lock.
#ifndef LINEMORPH_INPUT_FILE_H
#define LINEMORPH_INPUT_FILE_H

#include <sys/stat.h>

#include <optional>
#include <string>

#include "failure.h"
#include "fd_io.h"
#include "symlink_resolution.h"

namespace linemorph {

// An open input: its descriptor, holding a shared lock for as long as it is open, and its status
// taken from that descriptor.
struct InputFile {
    UniqueFd fd;
    struct stat status {};
};

// Opens the input at `path` for reading with every check, the same for a first open and any later
// one: takes its status, turns away anything but a regular file before opening it (opening a
// device can have effects of its own), opens it without blocking, checks the opened file again,
// and takes a shared lock without waiting, refusing a file another process holds under an
// exclusive lock (another run's temporary file, half written). Gives nothing on success, with
// `input` holding the file; else the failure.
std::optional<Failure> open_input(const std::string& path, InputFile& input);

// Gives in `located` the path of the file a run given `given` edits: `given` itself, or with
// LinkHandling::Follow the file at the end of its chain of symbolic links, with the links passed
// through. A dangling link or a loop fails as an input whose status cannot be taken.
std::optional<Failure> locate_input(const std::string& given, LinkHandling links,
                                    ResolvedPath& located);

}  // namespace linemorph

#endif
