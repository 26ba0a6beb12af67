// Many files in one run, as one all-or-nothing edit: every listed file is read and every one that
// changes is prepared (written beside itself, given its owner and mode, made durable) before any
// is replaced; then all are put in place, and a failure on the way puts back those already
// replaced.
#ifndef LINEMORPH_TREE_EDIT_H
#define LINEMORPH_TREE_EDIT_H

#include <string>
#include <vector>

#include "cli.h"
#include "failure.h"
#include "line_rewriter.h"
#include "symlink_resolution.h"

namespace linemorph {

// How the prepared files are made durable before the first of them is renamed.
enum class Durability {
    EachFile,                // each worker syncs each file it prepared (fsync), as a one-file run
    FileSystem,              // one sync of each file system that holds prepared files (syncfs)
    FileSystemThenEachFile,  // the same, then each file's own sync, to learn its write errors
};

// How a list run works.
struct ListRunOptions {
    unsigned jobs = 1;  // threads that read and prepare files, the calling one included
    Durability durability = Durability::FileSystem;
    LinkHandling links = LinkHandling::Replace;  // Follow: edit the file at the end of each link
};

// Edits the files at the paths `given` under `rule`, each as a one-file run would edit it, except
// that a file in which no line changes is only read, and a symbolic link whose file would change is
// a failure unless links are followed; a directory entry reached twice (with links followed: the
// entry at the end of the chain) is edited once (see distinct_entries). All or nothing: no file is
// replaced until every file is read and every changed one prepared; when that fails for any file,
// every prepared temporary file is removed and no file changes. When a rename fails, the files
// already replaced are put back. Gives the failures in list order (a rename failure, and any
// failure to put a file back, after them); none: every file was edited.
std::vector<Failure> edit_listed_files(const std::vector<std::string>& given, const Rule& rule,
                                       const ListRunOptions& options);

// Writes to `out_fd` the unified diff of every listed file that `rule` would change, in list
// order, each directory entry once; creates, changes and removes nothing. Reports what a real run
// would report while reading (and a diff that cannot be written). Gives the failures in list order.
std::vector<Failure> preview_listed_files(const std::vector<std::string>& given, const Rule& rule,
                                          int out_fd, unsigned jobs,
                                          LinkHandling links = LinkHandling::Replace);

// Runs `command`, whose list is set: reads the list, then edits or previews its files with
// `command.jobs` threads (0: one per online processor), the diff going to `out_fd`. Gives the
// failures in list order; none: success.
std::vector<Failure> run_file_list(const Command& command, int out_fd);

}  // namespace linemorph

#endif
