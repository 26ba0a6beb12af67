#include "cli.h"

#include <cstdio>

namespace linemorph {

namespace {

constexpr std::string_view kUsage =
    "linemorph - v1.0.0 - edits a text file in place, line by line (2026)\n"
    "Usage: linemorph --input=<filename> [--wholeline] \"<replace>\" \"<with>\" "
    "[[\"[+-]<string to be present>\" | \"<-string to be non-present>\"] ...]\n"
    "\n"
    " --input\t\t: Name of file to apply the replacements to\n"
    " --wholeline\t: Replace the entire line with <with>, rather than partial replacement\n"
    " <replace>\t: String we're searching for\n"
    " <with>\t\t: What we wish to replace <replace> with\n"
    " <[+-]string>\t: A string which should be also detected on the line\n"
    " -<string> \t: A string which we DO NOT want detected in the line\n"
    " <}string>\t: This string must appear AFTER the section to replace\n"
    " <{string>\t: This string must appear BEFORE the section to replace\n"
    "\n"
    "example: ./linemorph --input=myfile \"_MY_DEFINE\" \"_YOUR_DEFINE\" \"-#define\" \"};\"\n"
    "\t\n";

constexpr std::string_view kInputOption = "--input=";
constexpr std::string_view kWholelineOption = "--wholeline";
constexpr std::string_view kDryrunOption = "--dryrun";
constexpr std::string_view kFollowSymlinksOption = "--follow-symlinks";

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

OptionScan parse_options(int argc, const char* const* argv) {
    OptionScan scan;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string_view arg = argv[index];
        if (!starts_with(arg, "--")) {
            break;  // the first positional argument: everything after it is positional too
        }
        if (starts_with(arg, kInputOption)) {
            scan.settings.input_path = std::string(arg.substr(kInputOption.size()));
        } else if (starts_with(arg, kWholelineOption)) {
            scan.settings.wholeline_mode = LineMode::WholeLine;
        } else if (starts_with(arg, kDryrunOption)) {
            scan.settings.run_mode = RunMode::DryRun;
        } else if (starts_with(arg, kFollowSymlinksOption)) {
            scan.settings.links = LinkHandling::Follow;
        } else {
            scan.recognised = false;
            break;
        }
    }
    scan.first_positional = argc < 1 ? 0 : index;  // an empty vector has no index 1
    return scan;
}

CommandLineProblem check_command_line(int argc, const char* const* argv, int first_positional) {
    if (argc <= 2) {
        return CommandLineProblem::TooShort;
    }
    if (argc - first_positional < 2) {
        return CommandLineProblem::MissingArguments;
    }
    if (argv[first_positional][0] == '\0') {
        return CommandLineProblem::EmptySearch;
    }
    return CommandLineProblem::None;
}

std::string_view problem_message(CommandLineProblem problem) {
    return problem == CommandLineProblem::EmptySearch ? "Error: empty search string\n" : "";
}

std::vector<std::string_view> positional_arguments(int argc, const char* const* argv,
                                                   int first_positional) {
    std::vector<std::string_view> args;
    for (int i = first_positional; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    return args;
}

std::string_view usage_text() {
    return kUsage;
}

int print_usage() {
    // A usage text that cannot be written changes nothing: the status is 1 either way.
    (void)std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    (void)std::fflush(stdout);
    return 1;
}

}  // namespace linemorph
