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

void set_input(Settings& settings, std::string_view value) {
    settings.input_path = std::string(value);
    settings.input_given = true;
}

// The option table. A prefix, not a whole word: "--wholelineXYZ" selects whole-line mode.
constexpr OptionRow kOptions[] = {
    {"--input=", set_input},
    {"--wholeline", [](Settings& s, std::string_view) { s.wholeline_mode = LineMode::WholeLine; }},
    {"--dryrun", [](Settings& s, std::string_view) { s.run_mode = RunMode::DryRun; }},
    {"--follow-symlinks", [](Settings& s, std::string_view) { s.links = LinkHandling::Follow; }},
    {"--files0-from=", [](Settings& s, std::string_view value) { s.files0_from = value; }},
    {"--files-from=", [](Settings& s, std::string_view value) { s.files_from = value; }},
    {"--jobs=", [](Settings& s, std::string_view value) { s.jobs = value; }},
};

// Gives the number a --jobs= value spells, from 1 to kMaxJobs, or 0 when it spells none: decimal
// digits only, no sign, no spaces.
unsigned parse_jobs(std::string_view text) {
    unsigned jobs = 0;
    if (text.empty()) {
        return 0;
    }
    for (const char digit : text) {
        if (digit < '0' || digit > '9') {
            return 0;
        }
        jobs = jobs * 10 + static_cast<unsigned>(digit - '0');
        if (jobs > kMaxJobs) {
            return 0;
        }
    }
    return jobs;
}

// Gives the problem with the options that choose the files, or None.
CommandLineProblem check_file_options(const Settings& settings) {
    if (settings.files0_from && settings.files_from) {
        return CommandLineProblem::TwoLists;
    }
    if ((settings.files0_from || settings.files_from) && settings.input_given) {
        return CommandLineProblem::ListAndInput;
    }
    if (settings.jobs && parse_jobs(*settings.jobs) == 0) {
        return CommandLineProblem::BadJobs;
    }
    return CommandLineProblem::None;
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
    CommandLineProblem problem = check_file_options(scan.settings);
    if (problem == CommandLineProblem::None) {
        problem = check_command_line(argc, argv, scan.first_positional);
    }
    if (problem != CommandLineProblem::None) {
        return problem;
    }
    const Settings& settings = scan.settings;
    const auto args = positional_arguments(argc, argv, scan.first_positional);
    Command command{
        settings.input_path,
        make_rule(args[0], args[1], {args.begin() + 2, args.end()}, settings.wholeline_mode),
        settings.run_mode,
        settings.links,
        {},
        settings.jobs ? parse_jobs(*settings.jobs) : 0};
    if (settings.files0_from) {
        command.list = ListSource{*settings.files0_from, ListForm::NulSeparated};
    } else if (settings.files_from) {
        command.list = ListSource{*settings.files_from, ListForm::LineSeparated};
    }
    return command;
}

std::string_view problem_message(CommandLineProblem problem) {
    switch (problem) {
        case CommandLineProblem::EmptySearch:
            return "Error: empty search string\n";
        case CommandLineProblem::ListAndInput:
            return "Error: --input= cannot be used with a file list\n";
        case CommandLineProblem::TwoLists:
            return "Error: --files0-from= and --files-from= cannot be used together\n";
        case CommandLineProblem::BadJobs:
            return "Error: --jobs= takes a whole number from 1 to 1024\n";
        case CommandLineProblem::None:
        case CommandLineProblem::UnknownOption:
        case CommandLineProblem::TooShort:
        case CommandLineProblem::MissingArguments:
            break;
    }
    return "";
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
