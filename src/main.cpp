// linemorph: edits one text file in place, line by line.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

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

    const auto command_line = parse_command_line(argc, argv);
    if (const auto* problem = std::get_if<CommandLineProblem>(&command_line)) {
        const int status = print_usage();
        say(problem_message(*problem));
        return status;
    }
    const Command& command = std::get<Command>(command_line);
    const auto failure = command.run_mode == RunMode::DryRun
                             ? preview_file(command.input_path, command.rule, STDOUT_FILENO)
                             : rewrite_file(command.input_path, command.rule);
    if (failure) {
        say(failure_message(*failure));
        return static_cast<int>(exit_status(failure->kind));
    }
    return static_cast<int>(ExitStatus::Success);
}
