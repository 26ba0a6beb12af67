#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

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

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// One recognised option: the prefix an argument must begin with, and what it sets. Everything
// after the prefix is the option's value; only --input= uses it.
struct OptionRow {
    std::string_view prefix;
    // cppcheck-suppress unusedStructMember ; called through the table in parse_options
    void (*apply)(Settings& settings, std::string_view value);
};

// The option table. A prefix, not a whole word: "--wholelineXYZ" selects whole-line mode.
constexpr OptionRow kOptions[] = {
    {"--input=", [](Settings& s, std::string_view value) { s.input_path = std::string(value); }},
    {"--wholeline", [](Settings& s, std::string_view) { s.wholeline_mode = LineMode::WholeLine; }},
    {"--dryrun", [](Settings& s, std::string_view) { s.run_mode = RunMode::DryRun; }},
    {"--follow-symlinks", [](Settings& s, std::string_view) { s.links = LinkHandling::Follow; }},
};

}  // namespace

OptionScan parse_options(int argc, const char* const* argv) {
    OptionScan scan;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string_view arg = argv[index];
        if (!starts_with(arg, "--")) {
            break;  // the first positional argument: everything after it is positional too
        }
        const auto row =
            std::find_if(std::begin(kOptions), std::end(kOptions),
                         [&](const OptionRow& option) { return starts_with(arg, option.prefix); });
        if (row == std::end(kOptions)) {
            scan.recognised = false;
            break;
        }
        row->apply(scan.settings, arg.substr(row->prefix.size()));
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

std::variant<Command, CommandLineProblem> parse_command_line(int argc, const char* const* argv) {
    const OptionScan scan = parse_options(argc, argv);
    if (!scan.recognised) {
        return CommandLineProblem::UnknownOption;
    }
    const CommandLineProblem problem = check_command_line(argc, argv, scan.first_positional);
    if (problem != CommandLineProblem::None) {
        return problem;
    }
    const auto args = positional_arguments(argc, argv, scan.first_positional);
    return Command{
        scan.settings.input_path,
        make_rule(args[0], args[1], {args.begin() + 2, args.end()}, scan.settings.wholeline_mode),
        scan.settings.run_mode, scan.settings.links};
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
