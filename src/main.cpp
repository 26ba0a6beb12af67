// linemorph: edits one text file in place, line by line.
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli.h"
#include "dry_run.h"
#include "failure.h"
#include "fd_io.h"
#include "file_rewrite.h"
#include "signal_cleanup.h"
#include "tree_edit.h"

namespace {

// Writes a message to standard error. One that cannot be written has nowhere else to go: the exit
// status still tells what happened.
void say(std::string_view message) {
    (void)std::fwrite(message.data(), 1, message.size(), stderr);
}

// Makes the process safe to run in before anything else: no file the run opens can land on a
// closed standard descriptor, and a signal that ends the run removes its temporary file first.
std::optional<linemorph::Failure> set_up_process() {
    using namespace linemorph;
    if (const int error = open_closed_standard_descriptors()) {
        return Failure{FailureKind::StandardDescriptors, error, {}, {}};
    }
    if (const int error = install_signal_cleanup()) {
        return Failure{FailureKind::SignalSetup, error, {}, {}};
    }
    return std::nullopt;
}

// Reports every failure of a list run, each on a line of its own (a message that lacks its final
// line feed gets one, so that the next does not run on), and gives the first one's status.
int report_list_failures(const std::vector<linemorph::Failure>& failures) {
    using namespace linemorph;
    for (const Failure& failure : failures) {
        const std::string message = failure_message(failure);
        say(message);
        if (!message.empty() && message.back() != '\n') {
            say("\n");
        }
    }
    return static_cast<int>(failures.empty() ? ExitStatus::Success
                                             : exit_status(failures.front().kind));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace linemorph;
    std::optional<Failure> failure = set_up_process();
    if (!failure) {
        const auto command_line = parse_command_line(argc, argv);
        if (const auto* problem = std::get_if<CommandLineProblem>(&command_line)) {
            const int status = print_usage();
            say(problem_message(*problem));
            return status;
        }
        const Command& command =
            *std::get_if<Command>(&command_line);  // not turned away: a command
        if (command.list) {
            return report_list_failures(run_file_list(command, STDOUT_FILENO));
        }
        failure =
            command.run_mode == RunMode::DryRun
                ? preview_file(command.input_path, command.rule, STDOUT_FILENO, kDefaultBlockSize,
                               command.links)
                : rewrite_file(command.input_path, command.rule, kDefaultBlockSize, command.links);
    }
    if (failure) {
        say(failure_message(*failure));
        return static_cast<int>(exit_status(failure->kind));
    }
    return static_cast<int>(ExitStatus::Success);
}
