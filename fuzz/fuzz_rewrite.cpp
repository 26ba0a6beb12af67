// Fuzzes the file driver's stream rewrite, the code every run's bytes go through: for any file
// bytes, any arguments and any block size, the output written to a file must be exactly what the
// plain line-at-a-time reference in the test tree gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "file_rewrite.h"
#include "fuzz_input.h"
#include "reference_rewriter.h"
#include "rewrite_cases.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace linemorph;
    static const int in_fd = fuzzing::scratch_file();
    static const int out_fd = fuzzing::scratch_file();

    const fuzzing::RewriteInput input =
        fuzzing::parse_rewrite_input({reinterpret_cast<const char*>(data), size});
    const std::size_t block = input.block_size == 0 ? kDefaultBlockSize : input.block_size;
    const Rule rule =
        testing::make_rule(input.args, input.wholeline ? LineMode::WholeLine : LineMode::Partial);
    fuzzing::refill(in_fd, input.content);
    fuzzing::refill(out_fd, "");
    if (const auto failed = copy_rewritten(in_fd, out_fd, rule, block)) {
        std::fprintf(stderr, "the rewrite failed: error %d\n", failed->error);
        std::abort();
    }
    const std::string expected =
        testing::reference_rewrite_file(input.content, input.args, input.wholeline);
    if (fuzzing::contents(out_fd) != expected) {
        std::fprintf(stderr, "the driver's output differs from the reference (block size %zu)\n",
                     block);
        std::abort();
    }
    return 0;
}
