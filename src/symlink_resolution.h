// The file a path names once every symbolic link on it is followed: with --follow-symlinks that
// file, not the link, is edited in place, and the links stay links.
#ifndef LINEMORPH_SYMLINK_RESOLUTION_H
#define LINEMORPH_SYMLINK_RESOLUTION_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace linemorph {

// Whether a run given a symbolic link replaces the link by a regular file (its target keeps its
// content) or edits the file the link leads to.
enum class LinkHandling { Replace, Follow };

// The end of a chain of symbolic links, or why there is none.
struct ResolvedPath {
    std::string path;  // names the file at the end of the chain, never a link; empty on failure
    int error = 0;     // 0, or the error number: ENOENT for a dangling link, ELOOP for a loop
    std::vector<std::pair<dev_t, ino_t>> links;  // the identities of the links passed through

    // Returns true when `other` names, itself, one of the links passed through.
    bool passes_through(const std::string& other) const;
};

// Returns the path of the file `path` names once each symbolic link in its last component is
// followed in turn: a relative target is taken relative to the folder holding the link, an
// absolute one as it stands. The folders on the way are left to the system. A path that is no
// link comes back as it was given.
ResolvedPath resolve_symlinks(const std::string& path);

// The most links a chain may hold before it counts as a loop (ELOOP), as Linux counts them.
constexpr int kMaxSymlinkHops = 40;

}  // namespace linemorph

#endif
