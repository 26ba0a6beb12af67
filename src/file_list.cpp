#include "file_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>
#include <unordered_set>

#include "fd_io.h"

namespace linemorph {

namespace {

// Reads `fd` to its end into `bytes`; gives 0 or the error number.
int read_all(int fd, std::string& bytes) {
    char block[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        bytes.append(block, static_cast<std::size_t>(got));
    }
}

// Gives the folder part of `path` as the system resolves it ("." for a bare name) and the last
// component, which may be empty (a path ending in '/').
std::pair<std::string, std::string> split_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

}  // namespace

std::vector<std::string> split_file_list(std::string_view bytes, ListForm form) {
    const char separator = form == ListForm::NulSeparated ? '\0' : '\n';
    std::vector<std::string> paths;
    while (!bytes.empty()) {
        const std::size_t end = bytes.find(separator);
        paths.emplace_back(bytes.substr(0, end));
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    }
    return paths;
}

std::optional<Failure> read_file_list(const ListSource& source, std::vector<std::string>& paths) {
    const bool standard_input = source.path == "-";
    const std::string name = standard_input ? "standard input" : source.path;
    UniqueFd opened;
    if (!standard_input) {
        opened.reset(::open(source.path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
        if (!opened) {
            return Failure{FailureKind::ReadList, errno, name, {}};
        }
    }
    std::string bytes;
    if (const int error = read_all(standard_input ? STDIN_FILENO : opened.get(), bytes)) {
        return Failure{FailureKind::ReadList, error, name, {}};
    }
    paths = split_file_list(bytes, source.form);
    return std::nullopt;
}

std::vector<std::size_t> distinct_entries(const std::vector<std::string>& paths) {
    // An entry is its folder's device and inode numbers and its name in that folder. Folders are
    // looked up once each, as written.
    std::unordered_map<std::string, std::string> folder_keys;
    std::unordered_set<std::string> seen;
    std::vector<std::size_t> distinct;
    distinct.reserve(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (paths[i].empty()) {
            distinct.push_back(i);  // names no entry: each fails on its own
            continue;
        }
        auto [folder, name] = split_path(paths[i]);
        auto known = folder_keys.find(folder);
        if (known == folder_keys.end()) {
            struct stat status {};
            std::string key =
                ::stat(folder.c_str(), &status) == 0
                    ? std::to_string(status.st_dev) + ':' + std::to_string(status.st_ino) + '/'
                    : std::string("?") + folder;  // compared as written
            known = folder_keys.emplace(std::move(folder), std::move(key)).first;
        }
        if (seen.insert(known->second + name).second) {
            distinct.push_back(i);
        }
    }
    return distinct;
}

}  // namespace linemorph
