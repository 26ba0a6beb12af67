// Fuzzes the file driver's stream rewrite, the code every run's bytes go through: for any file
// bytes, any arguments and any block size, the output written to a file must be exactly what the
// plain line-at-a-time reference in the test tree gives.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "file_rewrite.h"
#include "fuzz_input.h"
#include "reference_rewriter.h"
#include "rewrite_cases.h"

namespace {

// An unnamed scratch file for the whole fuzzing run.
int scratch_file() {
    const char* base = std::getenv("TMPDIR");
    std::string path =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/linemorph-fuzz-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0 || ::unlink(path.c_str()) != 0) {
        std::perror("cannot make a scratch file");
        std::abort();
    }
    return fd;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::perror(what);
        std::abort();
    }
}

// Empties `fd` and writes `bytes` to it; leaves its offset at 0.
void refill(int fd, std::string_view bytes) {
    check(::ftruncate(fd, 0) == 0, "ftruncate");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        check(wrote > 0, "pwrite");
        done += static_cast<std::size_t>(wrote);
    }
    check(::lseek(fd, 0, SEEK_SET) == 0, "lseek");
}

std::string contents(int fd) {
    std::string bytes;
    char chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
        check(got >= 0, "pread");
        if (got == 0) {
            return bytes;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
        at += got;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace linemorph;
    static const int in_fd = scratch_file();
    static const int out_fd = scratch_file();

    const fuzzing::RewriteInput input =
        fuzzing::parse_rewrite_input({reinterpret_cast<const char*>(data), size});
    const std::size_t block = input.block_size == 0 ? kDefaultBlockSize : input.block_size;
    const Rule rule =
        testing::make_rule(input.args, input.wholeline ? LineMode::WholeLine : LineMode::Partial);
    refill(in_fd, input.content);
    refill(out_fd, "");
    if (const auto failed = rewrite_stream(in_fd, out_fd, rule, block)) {
        std::fprintf(stderr, "the rewrite failed: error %d\n", failed->error);
        std::abort();
    }
    const std::string expected =
        testing::reference_rewrite_file(input.content, input.args, input.wholeline);
    if (contents(out_fd) != expected) {
        std::fprintf(stderr, "the driver's output differs from the reference (block size %zu)\n",
                     block);
        std::abort();
    }
    return 0;
}
