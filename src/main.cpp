// linemorph: edits one text file in place, line by line.
#include <fcntl.h>
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

// Opens /dev/null on each closed standard descriptor (0, 1, 2), so that no file the run opens
// lands on one of them: an input opened as descriptor 1 would be taken for the dry run's standard
// output, and a message would be written into a temporary file opened as descriptor 2. Standard
// input is opened for writing only and the others for reading only, so that using them fails with
// EBADF as on a closed descriptor: a dry run without standard output still reports that it cannot
// write its diff. Gives 0 or the error number.
int open_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        if (errno != EBADF) {
            return errno;
        }
        // open gives the lowest free descriptor, and every one below `fd` is open by now.
        if (::open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY) < 0) {
            return errno;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace linemorph;

    if (const int error = open_closed_standard_descriptors()) {
        say("Error: Cannot open /dev/null on a closed standard descriptor (" +
            std::string(std::strerror(error)) + ")\n");
        return static_cast<int>(ExitStatus::OutputFailed);
    }

    // A file-size limit then ends a write with EFBIG, reported and cleaned up like any write
    // error, rather than killing the run and leaving its temporary file behind. Most other signals
    // that end a run remove the temporary file first; signal_cleanup.cpp says which, and why not
    // the rest.
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
