#include "file_rewrite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "cache_release.h"
#include "fd_io.h"

namespace linemorph {

std::optional<StreamFailure> copy_rewritten(int in_fd, int out_fd, const Rule& rule,
                                            std::size_t block_size, WriterSizes sizes) {
    FileWriter out(out_fd, sizes);
    return scan_lines(in_fd, rule, block_size, out);
}

std::optional<Failure> prepare_rewrite(const std::string& input_path, PreparedRewrite& rewrite,
                                       const Rule& rule, SyncStep sync, std::size_t block_size) {
    InputFile& input = rewrite.input;
    AtomicFile& temp = rewrite.temp;
    if (!input.fd) {
        if (auto failure = open_input(input_path, input)) {
            return failure;
        }
    } else if (::lseek(input.fd.get(), 0, SEEK_SET) != 0) {
        return Failure{FailureKind::ReadInput, errno, input_path, {}};
    }
    if (auto failure = temp.create(input.status)) {
        return failure;
    }
    // Another run may have replaced the input between its opening and this run's lock; with the
    // lock held no other run can, so read what the path names now, or that run's edit is lost.
    // What it names now may be this run's own temporary file (the input swapped for a link to
    // it): never read that.
    struct stat now {};
    if (::stat(input_path.c_str(), &now) != 0) {
        return Failure{FailureKind::StatInput, errno, input_path, {}};
    }
    if (!same_file(now, input.status)) {
        if (same_file(now, temp.identity())) {
            return Failure{FailureKind::TempIsInput, 0, temp.path(), {}};
        }
        if (auto failure = open_input(input_path, input)) {
            return failure;
        }
        if (same_file(input.status, temp.identity())) {
            return Failure{FailureKind::TempIsInput, 0, temp.path(), {}};
        }
    }
    std::optional<StreamFailure> failed;
    {
        const InputCacheRelease release(input.fd.get(), input.status);
        failed = copy_rewritten(input.fd.get(), temp.fd(), rule, block_size);
    }
    if (failed) {
        if (failed->side == StreamFailure::Side::Read) {
            return Failure{FailureKind::ReadInput, failed->error, input_path, {}};
        }
        return Failure{FailureKind::WriteTemp, failed->error, temp.path(), {}};
    }
    return temp.prepare(input.fd.get(), input.status, sync);
}

std::optional<Failure> rewrite_file(const std::string& given_path, const Rule& rule,
                                    std::size_t block_size, LinkHandling links) {
    ResolvedPath located;
    if (auto failure = locate_input(given_path, links, located)) {
        return failure;
    }
    const std::string& input_path = located.path;
    // The links stay links: one at the temporary path is never cleared as a leftover.
    if (located.passes_through(input_path + ".tmp")) {
        return Failure{FailureKind::OpenTemp, EEXIST, input_path + ".tmp", {}};
    }
    PreparedRewrite rewrite(input_path);
    if (auto failure = prepare_rewrite(input_path, rewrite, rule, SyncStep::Now, block_size)) {
        return failure;
    }
    return rewrite.temp.commit();
}

}  // namespace linemorph
