#include "symlink_resolution.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace linemorph {

namespace {

// Reads the target of the link at `path`, whose lstat gave `size` bytes (0 where the file system
// does not say); gives 0 or the error number.
int read_link(const std::string& path, off_t size, std::string& target) {
    std::size_t capacity = size > 0 ? static_cast<std::size_t>(size) + 1 : 256;
    for (;;) {
        target.resize(capacity);
        const ssize_t got = ::readlink(path.c_str(), target.data(), capacity);
        if (got < 0) {
            return errno;
        }
        if (static_cast<std::size_t>(got) < capacity) {
            target.resize(static_cast<std::size_t>(got));
            return 0;
        }
        capacity *= 2;  // the link grew meanwhile, or its size was not told: it may be cut
    }
}

}  // namespace

bool ResolvedPath::passes_through(const std::string& other) const {
    if (links.empty()) {
        return false;  // no link was followed: nothing to look at on the disk
    }
    struct stat status {};
    if (::lstat(other.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
        return false;
    }
    for (const auto& [device, inode] : links) {
        if (status.st_dev == device && status.st_ino == inode) {
            return true;
        }
    }
    return false;
}

ResolvedPath resolve_symlinks(const std::string& path) {
    ResolvedPath resolved;
    std::string current = path;
    for (int hops = 0;; ++hops) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0) {
            resolved.error = errno;
            return resolved;
        }
        if (!S_ISLNK(status.st_mode)) {
            resolved.path = std::move(current);
            return resolved;
        }
        if (hops == kMaxSymlinkHops) {
            resolved.error = ELOOP;
            return resolved;
        }
        resolved.links.emplace_back(status.st_dev, status.st_ino);
        std::string target;
        if (const int error = read_link(current, status.st_size, target)) {
            // EINVAL: no longer a link (replaced meanwhile); look at what is there now.
            if (error == EINVAL) {
                continue;
            }
            resolved.error = error;
            return resolved;
        }
        if (target.empty()) {
            resolved.error = ENOENT;  // as the system treats an empty link
            return resolved;
        }
        if (target[0] == '/') {
            current = std::move(target);
        } else {
            // Relative to the link's folder: everything up to its last slash, kept as written so
            // that the system resolves ".." in it as it would in the link.
            const std::size_t slash = current.rfind('/');
            current.erase(slash == std::string::npos ? 0 : slash + 1);
            current += target;
        }
    }
}

}  // namespace linemorph
