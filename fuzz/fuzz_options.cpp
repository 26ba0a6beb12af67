// Fuzzes the option scan and the command-line checks with any argument vector: they must never
// crash, must always give a positional index within the vector, and must agree with what the
// options say: the last --input= value, whole-line mode once any --wholeline... is given, a dry
// run once any --dryrun... is given, and links followed once any --follow-symlinks... is given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli.h"
#include "fuzz_input.h"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace linemorph;
    const std::vector<std::string> args =
        fuzzing::parse_argument_vector({reinterpret_cast<const char*>(data), size});
    std::vector<const char*> argv;
    for (const auto& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    const OptionScan scan = parse_options(argc, argv.data());
    const int first = scan.first_positional;
    require(first >= 0 && first <= argc, "the positional index lies within the vector");
    require(argc == 0 || first >= 1, "the program's name is never positional");

    // The scan agrees with a plain reading of the leading options.
    std::string input_path;
    bool wholeline = false;
    bool dryrun = false;
    bool follow = false;
    int index = 1;
    for (; index < argc && starts_with(args[index], "--"); ++index) {
        if (starts_with(args[index], "--input=")) {
            input_path = args[index].substr(8);
        } else if (starts_with(args[index], "--wholeline")) {
            wholeline = true;
        } else if (starts_with(args[index], "--dryrun")) {
            dryrun = true;
        } else if (starts_with(args[index], "--follow-symlinks")) {
            follow = true;
        } else if (starts_with(args[index], "--files0-from=") ||
                   starts_with(args[index], "--files-from=") ||
                   starts_with(args[index], "--jobs=")) {
            // The options that choose many files; what they set is checked below.
        } else {
            break;
        }
    }
    const bool recognised = index >= argc || !starts_with(args[index], "--");
    require(scan.recognised == recognised, "an option is turned away exactly when unknown");
    require(argc == 0 || first == index, "the scan stops where the options end");
    if (recognised) {
        require(scan.settings.input_path == input_path, "the last --input= value is taken");
        require((scan.settings.wholeline_mode == LineMode::WholeLine) == wholeline,
                "whole-line mode follows --wholeline");
        require((scan.settings.run_mode == RunMode::DryRun) == dryrun,
                "a dry run follows --dryrun");
        require((scan.settings.links == LinkHandling::Follow) == follow,
                "links are followed after --follow-symlinks");
    }

    // The whole command line: a list is taken exactly when one list option is given, without
    // --input=, and then the command names it.
    if (argc > 0) {
        const auto parsed = parse_command_line(argc, argv.data());
        if (const auto* command = std::get_if<Command>(&parsed)) {
            require(!command->list || (scan.settings.files0_from.has_value() !=
                                       scan.settings.files_from.has_value()),
                    "a list comes from exactly one list option");
            require(!command->list || !scan.settings.input_given, "a list never with --input=");
            require(command->jobs <= kMaxJobs, "--jobs= stays within its bound");
        }
    }

    const CommandLineProblem problem = check_command_line(argc, argv.data(), first);
    if (recognised && problem == CommandLineProblem::None) {
        const auto positional = positional_arguments(argc, argv.data(), first);
        require(positional.size() >= 2, "an accepted command line has search and replacement");
        require(!positional[0].empty(), "an accepted command line has a search string");
    }
    return 0;
}
