// linemorph: edits one text file in place, line by line.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli.h"
#include "dry_run.h"
#include "file_rewrite.h"
#include "line_rewriter.h"
#include "signal_cleanup.h"

namespace {

// Writes a message to standard error. One that cannot be written has nowhere else to go: the exit
// status still tells what happened.
void say(std::string_view message) {
    (void)std::fwrite(message.data(), 1, message.size(), stderr);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace linemorph;

    // A file-size limit then ends a write with EFBIG, reported and cleaned up like any write
    // error, rather than killing the run and leaving its temporary file behind. SIGINT, SIGTERM
    // and SIGHUP remove the temporary file before they end the run.
    const int error = std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR ? errno : install_signal_cleanup();
    if (error != 0) {
        say("Error: Cannot handle signals (" + std::string(std::strerror(error)) + ")\n");
        return static_cast<int>(ExitStatus::OutputFailed);
    }

    const OptionScan scan = parse_options(argc, argv);
    if (!scan.recognised) {
        return print_usage();
    }
    const CommandLineProblem problem = check_command_line(argc, argv, scan.first_positional);
    if (problem != CommandLineProblem::None) {
        const int status = print_usage();
        say(problem_message(problem));
        return status;
    }

    const auto args = positional_arguments(argc, argv, scan.first_positional);
    const Rule rule{args[0], args[1], {args.begin() + 2, args.end()}, scan.settings.wholeline_mode};
    const Settings& settings = scan.settings;
    const auto failure =
        settings.run_mode == RunMode::DryRun
            ? preview_file(settings.input_path, rule, STDOUT_FILENO, kDefaultBlockSize,
                           settings.links)
            : rewrite_file(settings.input_path, rule, kDefaultBlockSize, settings.links);
    if (failure) {
        say(failure_message(*failure));
        return static_cast<int>(exit_status(failure->kind));
    }
    return static_cast<int>(ExitStatus::Success);
}
