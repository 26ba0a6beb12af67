// Runs one list edit with a chosen way of making the prepared files durable, so that bench/tree.sh
// can time each against the others on the same tree: each worker syncing each file it prepared
// (fsync), one sync per file system (syncfs, the tool's way), or that followed by each file's own.
//
// Usage: list_sync_bench each|filesystem|filesystem-then-each JOBS LIST SEARCH REPLACEMENT
//        [CONDITION ...]      (run in the folder the NUL-separated LIST's paths start from)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "file_list.h"
#include "tree_edit.h"

int main(int argc, char** argv) {
    using namespace linemorph;
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: %s each|filesystem|filesystem-then-each JOBS LIST SEARCH "
                     "REPLACEMENT [CONDITION ...]\n",
                     argv[0]);
        return 1;
    }
    const std::string_view mode = argv[1];
    ListRunOptions options;
    options.jobs = static_cast<unsigned>(std::atoi(argv[2]));
    options.durability = mode == "each"         ? Durability::EachFile
                         : mode == "filesystem" ? Durability::FileSystem
                                                : Durability::FileSystemThenEachFile;
    std::vector<std::string> paths;
    if (auto failure = read_file_list({argv[3], ListForm::NulSeparated}, paths)) {
        std::fprintf(stderr, "%s", failure_message(*failure).c_str());
        return 4;
    }
    const std::vector<std::string_view> conditions(argv + 6, argv + argc);
    const Rule rule = make_rule(argv[4], argv[5], conditions, LineMode::Partial);
    const std::vector<Failure> failures = edit_listed_files(paths, rule, options);
    for (const Failure& failure : failures) {
        std::fprintf(stderr, "%s\n", failure_message(failure).c_str());
    }
    return failures.empty() ? 0 : 2;
}
