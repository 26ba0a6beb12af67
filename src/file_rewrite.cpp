#include "file_rewrite.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

#include "fd_io.h"

namespace linemorph {

namespace {

// Writes a rewritten stream to a file: the kept runs straight from the read buffer and each
// changed line's parts, gathered into one writev per buffer (or per kMaxPieces pieces).
class GatherWriter final : public RewriteSink {
  public:
    explicit GatherWriter(int fd) : fd_(fd) {}

    int keep(std::string_view lines) override { return add(lines); }

    int change(std::string_view /*line*/, const LineOutput& output) override {
        for (std::size_t i = 0; i < output.count; ++i) {
            if (const int error = add(output.parts[i])) {
                return error;
            }
        }
        return 0;
    }

    int finish() override { return flush(); }

    int release() override {
        if (const int error = flush()) {
            return error;
        }
        if (written_ - started_ >= kWritebackStep) {
            start_writeback(fd_, started_, written_ - started_);
            started_ = written_;
        }
        return 0;
    }

  private:
    static constexpr int kMaxPieces = 128;  // well within IOV_MAX everywhere
    static constexpr off_t kWritebackStep = 8 << 20;

    int add(std::string_view bytes) {
        if (bytes.empty()) {
            return 0;
        }
        if (count_ > 0) {
            // Bytes that follow the last piece in memory extend it: the piece then covers
            // exactly both, so a run of kept and unchanged lines stays one piece.
            iovec& last = pieces_[count_ - 1];
            if (static_cast<const char*>(last.iov_base) + last.iov_len == bytes.data()) {
                last.iov_len += bytes.size();
                return 0;
            }
        }
        if (count_ == kMaxPieces) {
            if (const int error = flush()) {
                return error;
            }
        }
        pieces_[count_++] = {const_cast<char*>(bytes.data()), bytes.size()};
        return 0;
    }

    // Writes every gathered piece; gives 0 or the error number.
    int flush() {
        const int count = std::exchange(count_, 0);
        return write_pieces(fd_, pieces_.data(), count, written_);
    }

    int fd_;
    std::array<iovec, kMaxPieces> pieces_{};
    int count_ = 0;
    off_t written_ = 0;  // bytes written so far
    off_t started_ = 0;  // bytes whose writeback has been started
};

}  // namespace

std::optional<StreamFailure> copy_rewritten(int in_fd, int out_fd, const Rule& rule,
                                            std::size_t block_size) {
    GatherWriter out(out_fd);
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
    if (const auto failed = copy_rewritten(input.fd.get(), temp.fd(), rule, block_size)) {
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
