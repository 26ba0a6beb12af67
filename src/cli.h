// The command line: the option scan, the checks that turn a command line away, and the usage text.
#ifndef LINEMORPH_CLI_H
#define LINEMORPH_CLI_H

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "file_list.h"
#include "line_rewriter.h"
#include "symlink_resolution.h"

namespace linemorph {

// Whether a run edits the file or only shows, as a unified diff, the edit it would make.
enum class RunMode { InPlace, DryRun };

// The settings the leading options fill.
struct Settings {
    std::string input_path;                       // the value of the last --input=, or empty
    LineMode wholeline_mode = LineMode::Partial;  // WholeLine once any --wholeline... is given
    RunMode run_mode = RunMode::InPlace;          // DryRun once any --dryrun... is given
    LinkHandling links = LinkHandling::Replace;   // Follow once any --follow-symlinks... is given
    bool input_given = false;                     // any --input=, even with no value
    std::optional<std::string> files0_from;       // the value of the last --files0-from=
    std::optional<std::string> files_from;        // the value of the last --files-from=
    std::optional<std::string> jobs;              // the value of the last --jobs=
};

// The result of the option scan.
struct OptionScan {
    Settings settings;
    int first_positional = 1;  // first positional argument; argc when there is none
    bool recognised = true;    // false: an option was not recognised (answer with the usage text)
};

// Why a command line is turned away; each is answered with the usage text and status 1.
enum class CommandLineProblem {
    None,
    UnknownOption,     // an option the scan does not recognise
    TooShort,          // fewer than two arguments after the program's name, options included
    MissingArguments,  // fewer than two positional arguments
    EmptySearch,       // the search string is empty
    ListAndInput,      // a file list given with --input=
    TwoLists,          // --files0-from= and --files-from= together
    BadJobs,           // a --jobs= value that is not a whole number from 1 to kMaxJobs
};

// The most threads --jobs= may ask for.
constexpr unsigned kMaxJobs = 1024;

// What a command line asks for: the file, the edit and how to make it. The rule's views point
// into the argument vector.
struct Command {
    std::string input_path;
    Rule rule;
    RunMode run_mode = RunMode::InPlace;
    LinkHandling links = LinkHandling::Replace;
    std::optional<ListSource> list;  // set: edit the listed files instead of the input path
    unsigned jobs = 0;               // threads for a list; 0: one per online processor
};

// Reads the whole command line: the leading options, the checks that turn it away and the
// positional arguments. Gives the command, or the first problem that turns the command line away.
std::variant<Command, CommandLineProblem> parse_command_line(int argc, const char* const* argv);

// Scans the leading options of argv[1..argc): every argument that begins with "--", up to the
// first one that does not; the scan stops at the first option it does not recognise.
OptionScan parse_options(int argc, const char* const* argv);

// Gives the first reason to turn the command line away once the options are scanned, or None.
CommandLineProblem check_command_line(int argc, const char* const* argv, int first_positional);

// Gives the line a command-line problem adds on standard error below the usage text, or "".
std::string_view problem_message(CommandLineProblem problem);

// Gives the positional arguments argv[first_positional..argc) as views.
std::vector<std::string_view> positional_arguments(int argc, const char* const* argv,
                                                   int first_positional);

// Writes the 14-line usage text to standard output in one piece and gives 1, the usage status.
int print_usage();

// The usage text itself.
std::string_view usage_text();

}  // namespace linemorph

#endif
