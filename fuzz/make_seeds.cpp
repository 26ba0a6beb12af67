// Writes the seed corpora of the fuzz targets from the test tables: every rewriter case in both
// modes at three block sizes for fuzz_rewrite and fuzz_preview, and its command line, with and
// without options, for fuzz_options. Usage: make_fuzz_seeds DIR (DIR/fuzz_rewrite,
// DIR/fuzz_preview and DIR/fuzz_options must exist).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "rewrite_cases.h"

namespace {

bool write_seed(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace linemorph;
    if (argc != 2) {
        std::fputs("usage: make_fuzz_seeds DIR\n", stderr);
        return 1;
    }
    const std::string dir = argv[1];
    int count = 0;
    bool ok = true;
    const auto seed = [&](const char* target, const std::string& bytes) {
        ok = write_seed(dir + "/" + target + "/seed" + std::to_string(count++), bytes) && ok;
    };
    for (const testing::RewriteCase& c : testing::rewrite_cases()) {
        // The case's line between two others, as the file driver's tests run it.
        const std::string content = "=====\n" + c.line + "#####\n";
        for (const std::uint16_t block : {1, 7, 0}) {
            for (const bool wholeline : {false, true}) {
                const std::string input =
                    fuzzing::make_rewrite_input(block, wholeline, c.args, content);
                seed("fuzz_rewrite", input);
                seed("fuzz_preview", input);
            }
        }
        std::vector<std::string> command{"linemorph", "--input=f"};
        command.insert(command.end(), c.args.begin(), c.args.end());
        seed("fuzz_options", fuzzing::make_argument_vector(command));
        command.insert(command.begin() + 1, "--wholeline");
        seed("fuzz_options", fuzzing::make_argument_vector(command));
    }
    // Command lines the option table turns away or reads in a special way.
    const std::vector<std::vector<std::string>> lines = {
        {},
        {"linemorph"},
        {"linemorph", "--help"},
        {"linemorph", "--input", "f", "a", "b"},
        {"linemorph", "--", "a", "b"},
        {"linemorph", "--input=one", "--input=two", "a", "b"},
        {"linemorph", "--wholelineXYZ", "a", "b"},
        {"linemorph", "--dryrun", "--input=f", "a", "b"},
        {"linemorph", "--dryrunX", "--wholeline", "a", "b"},
        {"linemorph", "--follow-symlinks", "--input=f", "a", "b"},
        {"linemorph", "--follow-symlinksX", "--dryrun", "a", "b"},
        {"linemorph", "a", "--input=f", "b"},
        {"linemorph", "--input=f", "", "b"},
        {"linemorph", "--input=f", "--wholeline"},
    };
    for (const auto& line : lines) {
        seed("fuzz_options", fuzzing::make_argument_vector(line));
    }
    if (!ok) {
        std::perror("cannot write a seed");
        return 1;
    }
    return 0;
}
