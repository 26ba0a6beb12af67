// linemorph: edits one text file in place, line by line.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "dry_run.h"
#include "file_rewrite.h"
#include "line_rewriter.h"
#include "signal_cleanup.h"

int main(int argc, char** argv) {
    using namespace linemorph;

    // A file-size limit then ends a write with EFBIG, reported and cleaned up like any write
    // error, rather than killing the run and leaving its temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // SIGINT, SIGTERM and SIGHUP remove the temporary file before they end the run.
    if (const int error = install_signal_cleanup()) {
        std::fprintf(stderr, "Error: Cannot handle signals (%s)\n", std::strerror(error));
        return static_cast<int>(ExitStatus::OutputFailed);
    }

    const OptionScan scan = parse_options(argc, argv);
    if (!scan.recognised) {
        return print_usage();
    }
    const CommandLineProblem problem = check_command_line(argc, argv, scan.first_positional);
    if (problem != CommandLineProblem::None) {
        const int status = print_usage();
        std::fputs(problem_message(problem).data(), stderr);
        return status;
    }

    const auto args = positional_arguments(argc, argv, scan.first_positional);
    const Rule rule{args[0], args[1], {args.begin() + 2, args.end()}, scan.settings.wholeline_mode};
    const auto failure = scan.settings.run_mode == RunMode::DryRun
                             ? preview_file(scan.settings.input_path, rule, STDOUT_FILENO)
                             : rewrite_file(scan.settings.input_path, rule);
    if (failure) {
        const std::string message = failure_message(*failure);
        std::fwrite(message.data(), 1, message.size(), stderr);
        return static_cast<int>(exit_status(failure->kind));
    }
    return static_cast<int>(ExitStatus::Success);
}
