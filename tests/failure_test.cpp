// Each failure's message and exit status: the texts scripts read, and the statuses they test.
#include "failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "messages.h"

namespace linemorph {
namespace {

using namespace testing;

TEST(Failures, MessageAndStatusOfEachKind) {
    struct Row {
        Failure failure;
        ExitStatus status;
        std::string message;
    };
    const Row rows[] = {
        {{FailureKind::StatInput, ENOENT, "a%s", {}},
         ExitStatus::StatFailed,
         stat_message("a%s", ENOENT)},
        {{FailureKind::OpenInput, EACCES, "f", {}},
         ExitStatus::InputFailed,
         open_message("f", EACCES)},
        {{FailureKind::NotRegular, 0, "d", {}}, ExitStatus::InputFailed, not_regular_message("d")},
        {{FailureKind::ReadInput, EACCES, "f", {}},
         ExitStatus::InputFailed,
         read_message("f", EACCES)},
        {{FailureKind::OpenTemp, EACCES, "f.tmp", {}},
         ExitStatus::OutputFailed,
         open_message("f.tmp", EACCES)},
        {{FailureKind::WriteTemp, ENOSPC, "f.tmp", {}},
         ExitStatus::OutputFailed,
         write_message("f.tmp", ENOSPC)},
        {{FailureKind::TempReplaced, 0, "f.tmp", {}},
         ExitStatus::OutputFailed,
         temp_replaced_message("f.tmp")},
        {{FailureKind::TempIsInput, 0, "f.tmp", {}},
         ExitStatus::OutputFailed,
         temp_is_input_message("f.tmp")},
        {{FailureKind::WriteOutput, EPIPE, {}, {}},
         ExitStatus::OutputFailed,
         output_write_message(EPIPE)},
        {{FailureKind::WriteToInput, 0, "f", {}},
         ExitStatus::OutputFailed,
         output_is_input_message("f")},
        {{FailureKind::StandardDescriptors, EACCES, {}, {}},
         ExitStatus::OutputFailed,
         standard_descriptors_message(EACCES)},
        {{FailureKind::SignalSetup, EINVAL, {}, {}},
         ExitStatus::OutputFailed,
         signals_message(EINVAL)},
        {{FailureKind::Rename, EACCES, "f.tmp", "f"},
         ExitStatus::RenameFailed,
         rename_message("f.tmp", "f", EACCES)},
        {{FailureKind::SetMode, EACCES, "f.tmp", {}}, ExitStatus::ModeFailed, mode_message(EACCES)},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(failure_message(row.failure), row.message);
        EXPECT_EQ(exit_status(row.failure.kind), row.status) << row.message;
    }
}

// The texts themselves, written out in full once, so that the helpers above cannot drift from
// what users and scripts have always read.
TEST(Failures, TextsAsUsersReadThem) {
    EXPECT_EQ(failure_message({FailureKind::OpenInput, ENOENT, "f", {}}),
              "Error: Cannot open f (No such file or directory)");
    EXPECT_EQ(failure_message({FailureKind::StatInput, ENOENT, "", {}}),
              "ERROR: Whilst attempting to get information of '', system reported: 'No such file "
              "or directory'\n");
    EXPECT_EQ(failure_message({FailureKind::Rename, EXDEV, "f.tmp", "f"}),
              "ERROR: While attempting to rename temp file 'f.tmp' to 'f', system reported: "
              "'Invalid cross-device link'\n");
    EXPECT_EQ(failure_message({FailureKind::SetMode, EPERM, "f.tmp", {}}),
              "ERROR: While attempting to set permissions on new file, system reported: "
              "'Operation not permitted'\n");
}

}  // namespace
}  // namespace linemorph
