// Fuzzes the dry run: for any file bytes, arguments, block size and hunk bound, the diff it
// writes must apply exactly to the input and give what the plain line-at-a-time reference gives,
// and must be empty when no line changes (within the default bound).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "diff_apply.h"
#include "dry_run.h"
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
    // Small bounds cut hunks often; the default one gives the hunks of diff -u.
    const std::size_t bound = input.block_size == 0 ? kHunkBound : 1 + input.block_size % 97;
    const Rule rule =
        testing::make_rule(input.args, input.wholeline ? LineMode::WholeLine : LineMode::Partial);
    fuzzing::refill(in_fd, input.content);
    fuzzing::refill(out_fd, "");
    if (const auto failed = preview_stream(in_fd, out_fd, "f", rule, block, bound)) {
        std::fprintf(stderr, "the dry run failed: error %d\n", failed->error);
        std::abort();
    }
    const std::string expected =
        testing::reference_rewrite_file(input.content, input.args, input.wholeline);
    const std::string diff = fuzzing::contents(out_fd);
    // A stretch of lines cut at a small bound may show lines that end up the same as a change;
    // within the default bound an edit that changes nothing shows nothing.
    if (bound == kHunkBound && expected == input.content && !diff.empty()) {
        std::fprintf(stderr, "a diff for an edit that changes nothing\n");
        std::abort();
    }
    std::string why;
    const auto applied = testing::apply_unified_diff(input.content, diff, &why);
    if (!applied) {
        std::fprintf(stderr, "the diff does not apply: %s\n", why.c_str());
        std::abort();
    }
    if (*applied != expected) {
        std::fprintf(stderr, "the diff applied gives another result than the reference\n");
        std::abort();
    }
    return 0;
}
