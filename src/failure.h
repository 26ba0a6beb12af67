// Failures as values: what went wrong in a run, the message it is reported with and the exit
// status it ends the run with. Every layer returns a Failure; only main prints one.
#ifndef LINEMORPH_FAILURE_H
#define LINEMORPH_FAILURE_H

#include <string>

namespace linemorph {

// The process's exit statuses.
enum class ExitStatus : int {
    Success = 0,
    Usage = 1,         // an option not recognised, or a command line turned away
    RenameFailed = 2,  // the temporary file could not take the input's place (it is kept)
    StatFailed = 3,    // the input's status could not be taken (missing, path too long, ...)
    InputFailed = 4,   // the input could not be opened or read, or is not a regular file
    ModeFailed = 5,    // the new file's owner, mode, ACL or attributes could not be set
    OutputFailed = 6,  // the temporary file could not be created, written, synced or closed,
                       // or a dry run's diff could not be written or would go into its input
};

// What went wrong in a rewrite.
enum class FailureKind {
    StatInput,     // stat of the input failed
    OpenInput,     // open of the input failed
    NotRegular,    // the input is a directory, FIFO, device or socket
    ReadInput,     // reading the input failed
    OpenTemp,      // the temporary file could not be created (or another run holds it)
    WriteTemp,     // writing, syncing or closing the temporary file failed
    TempReplaced,  // the temporary path no longer names the file this run wrote
    TempIsInput,   // the temporary path names the input itself (a link to it, or the input a link)
    Rename,        // renaming the temporary file onto the input failed
    SetMode,       // giving the new file the input's owner, mode, ACL or attributes failed
    WriteOutput,   // writing standard output failed (a dry run's diff)
    WriteToInput,  // a dry run's standard output is the input itself
    StandardDescriptors,  // a closed standard descriptor could not be filled with /dev/null
    SignalSetup,          // the signal handlers could not be set up
    ReadList,             // a file list could not be opened or read (`path`: the list's name)
    LinkInList,           // a listed symbolic link whose file would change
};

// A failed rewrite: its kind, the system's error number (0 when none applies), and the paths the
// message names.
struct Failure {
    FailureKind kind;
    int error = 0;
    std::string path;
    std::string target;  // the rename's target, for FailureKind::Rename
};

// Gives the exit status a failure of `kind` ends the run with.
ExitStatus exit_status(FailureKind kind);

// Gives the message a failure is reported with on standard error.
std::string failure_message(const Failure& failure);

}  // namespace linemorph

#endif
