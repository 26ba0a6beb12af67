#include "failure.h"

#include <cstring>

namespace linemorph {

namespace {

std::string system_text(int error) {
    return std::strerror(error);
}

}  // namespace

ExitStatus exit_status(FailureKind kind) {
    switch (kind) {
        case FailureKind::StatInput:
            return ExitStatus::StatFailed;
        case FailureKind::OpenInput:
        case FailureKind::NotRegular:
        case FailureKind::ReadInput:
        case FailureKind::ReadList:
        case FailureKind::LinkInList:
            return ExitStatus::InputFailed;
        case FailureKind::OpenTemp:
        case FailureKind::WriteTemp:
        case FailureKind::TempReplaced:
        case FailureKind::TempIsInput:
        case FailureKind::WriteOutput:
        case FailureKind::WriteToInput:
        case FailureKind::StandardDescriptors:
        case FailureKind::SignalSetup:
            return ExitStatus::OutputFailed;
        case FailureKind::Rename:
            return ExitStatus::RenameFailed;
        case FailureKind::SetMode:
            return ExitStatus::ModeFailed;
    }
    return ExitStatus::OutputFailed;
}

std::string failure_message(const Failure& failure) {
    const std::string& path = failure.path;
    switch (failure.kind) {
        case FailureKind::StatInput:
            return "ERROR: Whilst attempting to get information of '" + path +
                   "', system reported: '" + system_text(failure.error) + "'\n";
        case FailureKind::OpenInput:
        case FailureKind::OpenTemp:
            return "Error: Cannot open " + path + " (" + system_text(failure.error) + ")";
        case FailureKind::NotRegular:
            return "Error: " + path + " is not a regular file\n";
        case FailureKind::ReadInput:
            return "Error: Cannot read " + path + " (" + system_text(failure.error) + ")\n";
        case FailureKind::WriteTemp:
            return "Error: Cannot write " + path + " (" + system_text(failure.error) + ")\n";
        case FailureKind::WriteOutput:
            return "Error: Cannot write standard output (" + system_text(failure.error) + ")\n";
        case FailureKind::WriteToInput:
            return "Error: standard output is " + path + " itself\n";
        case FailureKind::StandardDescriptors:
            return "Error: Cannot open /dev/null on a closed standard descriptor (" +
                   system_text(failure.error) + ")\n";
        case FailureKind::SignalSetup:
            return "Error: Cannot handle signals (" + system_text(failure.error) + ")\n";
        case FailureKind::TempReplaced:
            return "Error: " + path + " was replaced by another process; the input is unchanged\n";
        case FailureKind::TempIsInput:
            return "Error: " + path + " is the input itself; the input is unchanged\n";
        case FailureKind::Rename:
            return "ERROR: While attempting to rename temp file '" + path + "' to '" +
                   failure.target + "', system reported: '" + system_text(failure.error) + "'\n";
        case FailureKind::ReadList:
            return "Error: Cannot read file list " + path + " (" + system_text(failure.error) +
                   ")\n";
        case FailureKind::LinkInList:
            return "Error: " + path +
                   " is a symbolic link; --follow-symlinks edits the file it names\n";
        case FailureKind::SetMode:
            return "ERROR: While attempting to set permissions on new file, system reported: '" +
                   system_text(failure.error) + "'\n";
    }
    return {};
}

}  // namespace linemorph
