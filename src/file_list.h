// File lists: the paths a run edits when given --files0-from= or --files-from= instead of
// --input=, and which of them name the same directory entry.
#ifndef LINEMORPH_FILE_LIST_H
#define LINEMORPH_FILE_LIST_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "failure.h"

namespace linemorph {

// How the paths in a list are separated: by NUL bytes (find -print0, git grep -lz, rg -l0) or by
// line feeds (grep -rl).
enum class ListForm { NulSeparated, LineSeparated };

// Where a list comes from: a file's path, or "-" for standard input.
struct ListSource {
    std::string path;
    ListForm form = ListForm::NulSeparated;
};

// Splits a list's bytes into paths, byte for byte: a separator ends each path, the last one may
// lack it, and two separators in a row give the empty path. Empty bytes give no path.
std::vector<std::string> split_file_list(std::string_view bytes, ListForm form);

// Reads the whole list `source` names and splits it; gives nothing on success, with `paths`
// holding the paths, else a FailureKind::ReadList naming the list ("standard input" for "-").
std::optional<Failure> read_file_list(const ListSource& source, std::vector<std::string>& paths);

// Gives the positions in `paths` of the first path to reach each directory entry, in list order:
// a later path that reaches an entry reached before (the same path, or another spelling of it such
// as "a", "./a" or "d/../a") is left out. Two names of one file (hard links) are distinct entries.
// A path whose folder cannot be looked up is kept and compared as written.
std::vector<std::size_t> distinct_entries(const std::vector<std::string>& paths);

}  // namespace linemorph

#endif
