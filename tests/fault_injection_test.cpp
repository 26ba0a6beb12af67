// Faults injected into the tool's system calls, kills at every step, and the signals that end a
// run. strace makes the faults: `-e inject=CALL:error=ERRNO:when=N` fails the Nth call, and
// `signal=SIG` delivers a signal at it. The path filter (-P) restricts tracing, and so the count
// N, to calls on the input, the temporary file and their folder, so the dynamic loader's own
// calls never shift it. On Linux with glibc the tool's calls on them are, in order:
//
//   newfstatat(input)  openat(input)  newfstatat(input fd)               stat, open, fstat
//   flock(input fd, LOCK_SH|LOCK_NB)                                     not another run's file
//   openat(temp, O_EXCL)  newfstatat(temp fd)  flock(temp fd)            create, identify, lock
//   newfstatat(temp, no follow)                                          path still ours?
//   fsetxattr(temp fd, system.posix_acl_access)                          no inherited ACL
//   newfstatat(input)                                                    input replaced?
//   read(input) ... writev(temp) ...                                     the stream
//   fchown(temp fd)                                                      commit: owner
//   flistxattr(input fd)                                                 attributes (none here)
//   fgetxattr(input fd, system.posix_acl_access)  newfstatat(input fd)   ACL (none: its mode's)
//   fsetxattr(temp fd, system.posix_acl_access)
//   fchmod  fsync  dup  close  (all on the temp fd)                      mode, sync
//   newfstatat(temp, no follow)  rename(temp, input)                     still ours? replace
//   openat(folder)  fsync(folder)  close(folder)                         durability of the rename
//
// A leftover at the temporary path adds, after the failed creation: newfstatat(temp, no follow),
// openat(temp, read-only), newfstatat(temp fd), flock(LOCK_NB), newfstatat(temp), unlink(temp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "messages.h"
#include "support.h"

namespace linemorph {
namespace {

using testing::calls_in;
using testing::is_root;
using testing::read_file;
using testing::run_tool;
using testing::RunOptions;
using testing::RunResult;
using testing::status_of;
using testing::StraceCall;
using testing::TempDir;
using testing::write_file;

// Contents are compared with == and a short message: a failing EXPECT_EQ would print a diff of
// half a megabyte.
//
// Every 64th of 40,000 lines holds the search string: the input spans three read blocks and the
// output takes several writes.
std::string old_content() {
    std::string content;
    for (int i = 0; i < 40000; ++i) {
        content += "line " + std::to_string(i) + (i % 64 == 0 ? " OLD\n" : " old\n");
    }
    return content;
}

std::string new_content() {
    std::string content;
    for (int i = 0; i < 40000; ++i) {
        content += "line " + std::to_string(i) + (i % 64 == 0 ? " NEW\n" : " old\n");
    }
    return content;
}

const std::string kOld = old_content();
const std::string kNew = new_content();

// The identity and attributes the input must keep when a run fails: everything but the times.
struct Attributes {
    dev_t device;
    ino_t inode;
    mode_t mode;
    uid_t owner;
    gid_t group;
};

Attributes attributes_of(const std::string& path) {
    const struct stat st = status_of(path);
    return {st.st_dev, st.st_ino, st.st_mode, st.st_uid, st.st_gid};
}

// A fresh folder with the input "f", owned by another user where the tests run as root and with
// a set-group-ID bit, so that a run that replaces it must carry owner, group and all mode bits.
class Workspace {
  public:
    Workspace() {
        char resolved[PATH_MAX];
        // The real path: strace matches open descriptors by the path the system gives them.
        root_ = ::realpath(dir_.path().c_str(), resolved) != nullptr ? resolved : dir_.path();
        write_file(input(), kOld, 0640);
        if (is_root()) {
            EXPECT_EQ(::chown(input().c_str(), 65534, 65534), 0);
        }
        EXPECT_EQ(::chmod(input().c_str(), 02640), 0);
        before_ = attributes_of(input());
    }

    const std::string& root() const { return root_; }
    std::string input() const { return root_ + "/f"; }
    std::string temp() const { return root_ + "/f.tmp"; }
    std::set<std::string> names() const { return dir_.names(); }
    const Attributes& before() const { return before_; }
    std::vector<std::string> args() const { return {"--input=" + input(), "OLD", "NEW"}; }

    // Expects the input exactly as it was: content, inode, mode, owner and group.
    void expect_untouched() const {
        EXPECT_TRUE(read_file(input()) == kOld) << "the input's content changed";
        const Attributes now = attributes_of(input());
        EXPECT_EQ(now.device, before_.device);
        EXPECT_EQ(now.inode, before_.inode) << "the input was replaced";
        EXPECT_EQ(now.mode, before_.mode);
        EXPECT_EQ(now.owner, before_.owner);
        EXPECT_EQ(now.group, before_.group);
    }

    // Expects the edited file in the input's place, with its mode, owner and group.
    void expect_replaced() const {
        EXPECT_TRUE(read_file(input()) == kNew) << "the input does not hold the edited content";
        const Attributes now = attributes_of(input());
        EXPECT_EQ(now.mode, before_.mode);
        EXPECT_EQ(now.owner, before_.owner);
        EXPECT_EQ(now.group, before_.group);
    }

    // Expects the input path to hold either the old or the new file, whole.
    void expect_old_or_new() const {
        const std::string now = read_file(input());
        EXPECT_TRUE(now == kOld || now == kNew)
            << "torn input: " << now.size() << " bytes, neither the old nor the new content";
        if (now == kOld) {
            expect_untouched();
        } else {
            expect_replaced();
        }
    }

  private:
    TempDir dir_;
    std::string root_;
    Attributes before_{};
};

// Runs the tool under strace with the path filter on the workspace's input, temporary file and
// folder. The tool runs from another folder and gets absolute paths, so the filter sees every
// call on them whether it names them or works on a descriptor.
struct Traced {
    RunResult result;
    std::string log;  // strace's log: one call a line, descriptors shown with their paths
};

Traced run_traced(const std::string& strace, const Workspace& work,
                  const std::vector<std::string>& options, const std::vector<std::string>& args) {
    TempDir logs;
    const std::string log_path = logs / "strace.log";
    RunOptions run;
    run.cwd = logs.path();
    run.prefix = {strace,       "-f", "-y",        "-o", log_path,   "-P",
                  work.input(), "-P", work.temp(), "-P", work.root()};
    for (const auto& option : options) {
        run.prefix.push_back("-e");
        run.prefix.push_back(option);
    }
    Traced traced;
    traced.result = run_tool(args, run);
    traced.log = read_file(log_path);
    return traced;
}

// The workspace's usual run, OLD to NEW, under strace.
Traced run_traced(const std::string& strace, const Workspace& work,
                  const std::vector<std::string>& options) {
    return run_traced(strace, work, options, work.args());
}

// The tool's calls on the workspace in a run without faults; checks that run succeeded.
std::vector<StraceCall> plain_calls(const std::string& strace) {
    Workspace work;
    const Traced traced = run_traced(strace, work, {});
    EXPECT_EQ(traced.result.status, 0) << traced.result.err;
    return calls_in(traced.log);
}

bool makes_call(const std::vector<StraceCall>& calls, const std::string& name) {
    for (const StraceCall& call : calls) {
        if (call.name == name) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The fault table.

// The message a failing run prints, by the step that failed.
enum class Says {
    Nothing,
    StatInput,  // the get-information message, with the input path
    OpenInput,  // "Error: Cannot open INPUT (...)"
    ReadInput,  // "Error: Cannot read INPUT (...)"
    OpenTemp,   // "Error: Cannot open TEMP (...)"
    WriteTemp,  // "Error: Cannot write TEMP (...)"
    TempTaken,  // the temporary path no longer names the run's file
    Rename,     // the rename message
    SetMode,    // the permissions message
};

std::string message(Says says, const Workspace& work, int error) {
    switch (says) {
        case Says::Nothing:
            return "";
        case Says::StatInput:
            return testing::stat_message(work.input(), error);
        case Says::OpenInput:
            return testing::open_message(work.input(), error);
        case Says::ReadInput:
            return testing::read_message(work.input(), error);
        case Says::OpenTemp:
            return testing::open_message(work.temp(), error);
        case Says::WriteTemp:
            return testing::write_message(work.temp(), error);
        case Says::TempTaken:
            return testing::temp_replaced_message(work.temp());
        case Says::Rename:
            return testing::rename_message(work.temp(), work.input(), error);
        case Says::SetMode:
            return testing::mode_message(error);
    }
    return "";
}

// Which file the failing call works on, by name or descriptor.
enum class On { Input, Temp, Folder };

// What is at the temporary path after the run.
enum class TempAfter {
    Gone,      // removed: the normal case for every failure
    Kept,      // the whole result, after a failed rename
    Leftover,  // what was there before the run, or a file the run could not identify
};

// What is at the temporary path before the run.
enum class Before { Nothing, StaleFile };

// An error number with its name, as strace takes it.
struct Errno {
    const char* name;
    int number;
};
#define ERRNO(e) \
    Errno {      \
#e, e    \
    }

struct FaultRow {
    const char* name;
    const char* call;  // as strace names it on Linux
    Errno error;
    int when;  // which of the calls of that name on the workspace fails
    On on;
    int status;
    Says says;
    TempAfter temp;
    Before before = Before::Nothing;
};

void PrintTo(const FaultRow& row, std::ostream* os) {
    *os << row.name;
}

// What a stale leftover holds; it is never written through, and stays where it cannot be removed.
const std::string kStale = "half a result from a killed run";

const FaultRow kFaultRows[] = {
    // Taking the input's status, by path and then from the open descriptor.
    {"stat_input_eacces", "newfstatat", ERRNO(EACCES), 1, On::Input, 3, Says::StatInput,
     TempAfter::Gone},
    {"stat_input_eoverflow", "newfstatat", ERRNO(EOVERFLOW), 1, On::Input, 3, Says::StatInput,
     TempAfter::Gone},
    {"fstat_input_eio", "newfstatat", ERRNO(EIO), 2, On::Input, 3, Says::StatInput,
     TempAfter::Gone},
    // Opening the input.
    {"open_input_eacces", "openat", ERRNO(EACCES), 1, On::Input, 4, Says::OpenInput,
     TempAfter::Gone},
    {"open_input_emfile", "openat", ERRNO(EMFILE), 1, On::Input, 4, Says::OpenInput,
     TempAfter::Gone},
    // The shared lock on the input: refused while another process holds it exclusively.
    // A lock refused for a moment (a run that has just renamed its file onto the input and not
    // yet closed it) is tried again; one refused for long is refused for good (end-to-end tests).
    {"flock_input_eagain_is_retried", "flock", ERRNO(EAGAIN), 1, On::Input, 0, Says::Nothing,
     TempAfter::Gone},
    {"flock_input_enolck", "flock", ERRNO(ENOLCK), 1, On::Input, 4, Says::OpenInput,
     TempAfter::Gone},
    {"flock_input_eintr_is_retried", "flock", ERRNO(EINTR), 1, On::Input, 0, Says::Nothing,
     TempAfter::Gone},
    // Creating the temporary file, learning its identity, locking it.
    {"create_temp_eacces", "openat", ERRNO(EACCES), 2, On::Temp, 6, Says::OpenTemp,
     TempAfter::Gone},
    {"create_temp_enospc", "openat", ERRNO(ENOSPC), 2, On::Temp, 6, Says::OpenTemp,
     TempAfter::Gone},
    {"create_temp_edquot", "openat", ERRNO(EDQUOT), 2, On::Temp, 6, Says::OpenTemp,
     TempAfter::Gone},
    // Without its identity the run cannot tell its file from another run's: it leaves it.
    {"fstat_temp_eio", "newfstatat", ERRNO(EIO), 3, On::Temp, 6, Says::OpenTemp,
     TempAfter::Leftover},
    {"flock_temp_enolck", "flock", ERRNO(ENOLCK), 2, On::Temp, 6, Says::OpenTemp, TempAfter::Gone},
    {"flock_temp_eintr_is_retried", "flock", ERRNO(EINTR), 2, On::Temp, 0, Says::Nothing,
     TempAfter::Gone},
    // The new file seems gone before it was locked: the run creates it again and succeeds.
    {"lstat_temp_enoent_recreates", "newfstatat", ERRNO(ENOENT), 4, On::Temp, 0, Says::Nothing,
     TempAfter::Gone},
    // The input's status again, once the lock is held.
    {"restat_input_eacces", "newfstatat", ERRNO(EACCES), 5, On::Input, 3, Says::StatInput,
     TempAfter::Gone},
    // Reading.
    {"read_first_eio", "read", ERRNO(EIO), 1, On::Input, 4, Says::ReadInput, TempAfter::Gone},
    {"read_second_eio", "read", ERRNO(EIO), 2, On::Input, 4, Says::ReadInput, TempAfter::Gone},
    {"read_eintr_is_retried", "read", ERRNO(EINTR), 2, On::Input, 0, Says::Nothing,
     TempAfter::Gone},
    // Writing: the writer gathers its output into writev calls.
    {"writev_first_enospc", "writev", ERRNO(ENOSPC), 1, On::Temp, 6, Says::WriteTemp,
     TempAfter::Gone},
    {"writev_second_eio", "writev", ERRNO(EIO), 2, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    {"writev_edquot", "writev", ERRNO(EDQUOT), 1, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    {"writev_efbig", "writev", ERRNO(EFBIG), 2, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    {"writev_eintr_is_retried", "writev", ERRNO(EINTR), 1, On::Temp, 0, Says::Nothing,
     TempAfter::Gone},
    // Owner and mode of the new file.
    {"fchown_eio", "fchown", ERRNO(EIO), 1, On::Temp, 5, Says::SetMode, TempAfter::Gone},
    {"fchown_erofs", "fchown", ERRNO(EROFS), 1, On::Temp, 5, Says::SetMode, TempAfter::Gone},
    {"fchmod_eperm", "fchmod", ERRNO(EPERM), 1, On::Temp, 5, Says::SetMode, TempAfter::Gone},
    {"fchmod_eio", "fchmod", ERRNO(EIO), 1, On::Temp, 5, Says::SetMode, TempAfter::Gone},
    // Syncing, and closing the written descriptor (kept open through a duplicate).
    {"fsync_temp_eio", "fsync", ERRNO(EIO), 1, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    {"fsync_temp_enospc", "fsync", ERRNO(ENOSPC), 1, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    {"dup_emfile", "dup", ERRNO(EMFILE), 1, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    {"close_temp_eio", "close", ERRNO(EIO), 1, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    {"close_temp_edquot", "close", ERRNO(EDQUOT), 1, On::Temp, 6, Says::WriteTemp, TempAfter::Gone},
    // The last look at the temporary path before the rename.
    {"lstat_before_rename_enoent", "newfstatat", ERRNO(ENOENT), 7, On::Temp, 6, Says::TempTaken,
     TempAfter::Gone},
    // The rename: the result is kept for the user.
    {"rename_exdev", "rename", ERRNO(EXDEV), 1, On::Temp, 2, Says::Rename, TempAfter::Kept},
    {"rename_ebusy", "rename", ERRNO(EBUSY), 1, On::Temp, 2, Says::Rename, TempAfter::Kept},
    {"rename_eacces", "rename", ERRNO(EACCES), 1, On::Temp, 2, Says::Rename, TempAfter::Kept},
    // Syncing the folder only makes the rename durable: a failure there costs no data.
    {"open_folder_eacces", "openat", ERRNO(EACCES), 3, On::Folder, 0, Says::Nothing,
     TempAfter::Gone},
    {"fsync_folder_eio", "fsync", ERRNO(EIO), 2, On::Folder, 0, Says::Nothing, TempAfter::Gone},
    // Clearing a stale leftover: a failure ends the run and leaves the leftover as it was.
    {"leftover_open_eacces", "openat", ERRNO(EACCES), 3, On::Temp, 6, Says::OpenTemp,
     TempAfter::Leftover, Before::StaleFile},
    {"leftover_unlink_eperm", "unlink", ERRNO(EPERM), 1, On::Temp, 6, Says::OpenTemp,
     TempAfter::Leftover, Before::StaleFile},
};

class FaultTableTest : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultTableTest, Run) {
    const FaultRow& row = GetParam();
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to inject " << row.call
                     << " errors";
    }
    // glibc on Linux takes every status with newfstatat; another C library may use stat, lstat,
    // fstat or statx, and then the stat rows do not apply as written.
    static const bool glibc_status = makes_call(plain_calls(strace), "newfstatat");
    if (std::string_view(row.call) == "newfstatat" && !glibc_status) {
        GTEST_SKIP() << "this system's C library takes a file's status through another system "
                        "call than newfstatat, which the row counts";
    }

    Workspace work;
    if (row.before == Before::StaleFile) {
        write_file(work.temp(), kStale, 0600);
    }
    const std::string injection = std::string("inject=") + row.call + ":error=" + row.error.name +
                                  ":when=" + std::to_string(row.when);
    const Traced traced = run_traced(strace, work, {injection});
    const RunResult& result = traced.result;

    // The fault hit the call the row means.
    const std::string target = row.on == On::Input  ? work.input()
                               : row.on == On::Temp ? work.temp()
                                                    : work.root();
    std::string injected;
    for (const StraceCall& call : calls_in(traced.log)) {
        if (call.line.find("(INJECTED)") != std::string::npos) {
            injected = call.line;
            EXPECT_EQ(call.name, row.call);
        }
    }
    ASSERT_FALSE(injected.empty()) << "no call was failed; strace's log:\n" << traced.log;
    EXPECT_TRUE(injected.find('"' + target + '"') != std::string::npos ||
                injected.find('<' + target + '>') != std::string::npos)
        << "the failed call is not on " << target << ": " << injected;

    EXPECT_EQ(result.status, row.status) << result.err;
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, message(row.says, work, row.error.number));
    if (row.status == 0) {
        work.expect_replaced();
    } else {
        work.expect_untouched();
    }
    switch (row.temp) {
        case TempAfter::Gone:
            EXPECT_EQ(work.names(), std::set<std::string>{"f"});
            break;
        case TempAfter::Kept:
            EXPECT_EQ(work.names(), (std::set<std::string>{"f", "f.tmp"}));
            EXPECT_TRUE(read_file(work.temp()) == kNew) << "the kept file lacks the whole result";
            break;
        case TempAfter::Leftover:
            EXPECT_EQ(work.names(), (std::set<std::string>{"f", "f.tmp"}));
            if (row.before == Before::StaleFile) {
                EXPECT_EQ(read_file(work.temp()), kStale) << "the leftover was written through";
            }
            break;
    }

    // Whatever a failure left, the next plain run clears it and succeeds.
    const RunResult next = run_tool(work.args());
    EXPECT_EQ(next.status, 0) << next.err;
    work.expect_replaced();
    EXPECT_EQ(work.names(), std::set<std::string>{"f"});
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTableTest, ::testing::ValuesIn(kFaultRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Kill sweep: SIGKILL at the entry of each of the tool's calls on the workspace in turn (a call
// made many times is hit at most eight times, spread over its occurrences, first and last
// included), then at random moments of a run on a large file. Afterwards the input path holds the
// old or the new file, whole, and a plain run succeeds despite whatever was left behind.

// Gives, for each call name, the occurrences to kill at.
std::map<std::string, std::set<int>> kill_points(const std::vector<StraceCall>& calls) {
    std::map<std::string, int> counts;
    for (const StraceCall& call : calls) {
        ++counts[call.name];
    }
    constexpr int kMaxPerCall = 8;
    std::map<std::string, std::set<int>> points;
    for (const auto& [name, count] : counts) {
        for (int i = 0; i < std::min(count, kMaxPerCall); ++i) {
            const int spread = count <= kMaxPerCall ? i : i * (count - 1) / (kMaxPerCall - 1);
            points[name].insert(1 + spread);
        }
    }
    return points;
}

void expect_next_run_succeeds(const Workspace& work) {
    const RunResult next = run_tool(work.args());
    EXPECT_EQ(next.status, 0) << next.err;
    work.expect_replaced();
    EXPECT_EQ(work.names(), std::set<std::string>{"f"});
}

TEST(KillSweep, AtEveryCall) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to kill the run at a call";
    }
    const std::vector<StraceCall> plain = plain_calls(strace);
    ASSERT_TRUE(makes_call(plain, "rename")) << "the plain run made no rename";
    int killed = 0;
    for (const auto& [name, occurrences] : kill_points(plain)) {
        for (const int when : occurrences) {
            SCOPED_TRACE(name + " #" + std::to_string(when));
            Workspace work;
            const std::string injection =
                "inject=" + name + ":signal=KILL:when=" + std::to_string(when);
            const Traced traced = run_traced(strace, work, {injection});
            EXPECT_EQ(traced.result.signal, SIGKILL) << traced.result.err;
            killed += traced.result.signal == SIGKILL;
            work.expect_old_or_new();
            expect_next_run_succeeds(work);
        }
    }
    std::printf("killed the run at %d calls\n", killed);
}

// Starts the tool on `args` with its output discarded; gives its process id.
pid_t start_tool(const std::vector<std::string>& args) {
    std::vector<std::string> command{testing::tool_path()};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0 || ::dup2(null, STDERR_FILENO) < 0) {
            ::_exit(120);
        }
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            ::signal(signal_number, SIG_DFL);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// The wait status of the process `pid`.
int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Signals at random moments of runs on a large file: SIGKILL leaves the old or the new file and
// perhaps a leftover; SIGINT, SIGTERM and SIGHUP leave the old or the new file and nothing else,
// and end the run with 128 + the signal unless it had finished.
TEST(KillSweep, AtRandomMoments) {
    std::string large_old;
    std::string large_new;
    for (int i = 0; i < 400000; ++i) {
        const std::string head = "line " + std::to_string(i) + " of a large file, ";
        large_old += head + "OLD\n";
        large_new += head + "NEW\n";
    }
    TempDir dir;
    const std::string input = dir / "f";
    const std::vector<std::string> args{"--input=" + input, "OLD", "NEW"};

    // How long a whole run takes here, to spread the signals over it.
    write_file(input, large_old);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_tool(args).status, 0);
    const auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);

    std::mt19937 random(20261210);
    const int signals[] = {SIGKILL, SIGINT, SIGTERM, SIGHUP};
    std::map<std::string, int> outcomes;
    for (int round = 0; round < 32; ++round) {
        const int signal_number = signals[round % 4];
        SCOPED_TRACE("round " + std::to_string(round) + ", signal " +
                     std::to_string(signal_number));
        write_file(input, large_old);
        const pid_t pid = start_tool(args);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(
            std::chrono::microseconds(random() % static_cast<std::uint64_t>(run_time.count() + 1)));
        ASSERT_EQ(::kill(pid, signal_number), 0);
        const int status = wait_for(pid);
        const std::string now = read_file(input);
        ASSERT_TRUE(now == large_old || now == large_new)
            << "torn input: " << now.size() << " bytes";
        const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (signal_number == SIGKILL) {
            EXPECT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL));
        } else {
            // A signal that comes before the handler is installed (while the program is being
            // loaded) kills the run by default, before it has created anything.
            const bool handled = WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal_number;
            const bool too_early = WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
            EXPECT_TRUE(finished || handled || too_early) << "wait status " << status;
            EXPECT_EQ(dir.names(), std::set<std::string>{"f"}) << "the signal left a file";
        }
        const char* ending = finished              ? "finished"
                             : WIFSIGNALED(status) ? "killed by the signal"
                                                   : "ended by the handler";
        ++outcomes[std::string(ending) + (now == large_new ? ", new file" : ", old file")];
        const RunResult next = run_tool(args);
        EXPECT_EQ(next.status, 0) << next.err;
        EXPECT_TRUE(read_file(input) == large_new) << "the next run did not finish the edit";
        EXPECT_EQ(dir.names(), std::set<std::string>{"f"});
    }
    for (const auto& [outcome, count] : outcomes) {
        std::printf("%s: %d\n", outcome.c_str(), count);
    }
}

// ---------------------------------------------------------------------------------------------
// Signals delivered by strace right after a given call: every signal whose default action ends
// the process, and that can be caught, removes the temporary file and ends the run with 128 + the
// signal. Up to the rename the input stays as it was; a signal right after the rename leaves the
// new file in place. SIGPIPE and the signals of a fault in the tool itself (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT) keep their default action, and SIGKILL cannot be
// caught: the next run clears what they leave, as the kill sweep shows.

// A signal, with the name its test cases show.
struct Signal {
    std::string name;  // "SIGQUIT", "SIGRTMIN_plus_3"
    int number;
};

void PrintTo(const Signal& signal, std::ostream* os) {
    *os << signal.name;
}

#define SIGNAL(s) \
    Signal {      \
#s, s     \
    }

// The signals that must remove the temporary file: those whose default action ends the process,
// less SIGKILL, SIGPIPE and the fault signals, as this system defines them.
std::vector<Signal> handled_signals() {
    std::vector<Signal> signals = {
        SIGNAL(SIGHUP),
        SIGNAL(SIGINT),
        SIGNAL(SIGQUIT),
        SIGNAL(SIGUSR1),
        SIGNAL(SIGUSR2),
        SIGNAL(SIGALRM),
        SIGNAL(SIGTERM),
        SIGNAL(SIGXCPU),
        SIGNAL(SIGPROF),
        SIGNAL(SIGVTALRM),
#ifdef SIGSTKFLT
        SIGNAL(SIGSTKFLT),
#endif
#ifdef SIGPOLL
        SIGNAL(SIGPOLL),
#endif
#ifdef SIGPWR
        SIGNAL(SIGPWR),
#endif
#if defined(SIGLOST) && (!defined(SIGPWR) || SIGLOST != SIGPWR)
        SIGNAL(SIGLOST),
#endif
    };
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
        const std::string name = number == SIGRTMIN ? "SIGRTMIN"
                                 : number == SIGRTMAX
                                     ? "SIGRTMAX"
                                     : "SIGRTMIN_plus_" + std::to_string(number - SIGRTMIN);
        signals.push_back({name, number});
    }
#endif
    return signals;
}

// The signals tried after every call: the three a terminal sends, the two that by default also
// dump core, a user signal and the last real-time one.
bool tried_everywhere(const Signal& signal) {
    static const std::set<std::string> kNames = {"SIGHUP",  "SIGINT",  "SIGTERM", "SIGQUIT",
                                                 "SIGXCPU", "SIGUSR1", "SIGRTMAX"};
    return kNames.count(signal.name) != 0;
}

std::vector<Signal> signals_tried(bool everywhere) {
    std::vector<Signal> chosen;
    for (const Signal& signal : handled_signals()) {
        if (tried_everywhere(signal) == everywhere) {
            chosen.push_back(signal);
        }
    }
    return chosen;
}

// What the input path and the temporary path hold after a signal.
enum class AfterSignal {
    Untouched,  // the old file, and no temporary file
    Replaced,   // the new file, and no temporary file
    Kept,       // the old file, and the whole result kept after a failed rename
};

// Which signals are tried at a point.
enum class TriedWith {
    FewSignals,   // those tried everywhere
    EverySignal,  // every handled one
};

struct SignalPoint {
    const char* name;
    const char* injection;  // the call, and how it is made to fail, if it is
    int when;
    AfterSignal after;
    TriedWith tried;
};

void PrintTo(const SignalPoint& point, std::ostream* os) {
    *os << point.name;
}

// Every signal is tried where it is held back (around the creation and the arming, around the
// rename and the disarming) and in the middle of the stream.
const SignalPoint kSignalPoints[] = {
    // Right after the creation, before the file is known by its identity.
    {"after_creating_temp", "openat", 2, AfterSignal::Untouched, TriedWith::EverySignal},
    {"after_locking_temp", "flock", 2, AfterSignal::Untouched, TriedWith::FewSignals},
    {"after_second_read", "read", 2, AfterSignal::Untouched, TriedWith::EverySignal},
    {"after_first_write", "writev", 1, AfterSignal::Untouched, TriedWith::FewSignals},
    {"after_fchmod", "fchmod", 1, AfterSignal::Untouched, TriedWith::FewSignals},
    {"after_fsync", "fsync", 1, AfterSignal::Untouched, TriedWith::FewSignals},
    {"after_close", "close", 1, AfterSignal::Untouched, TriedWith::FewSignals},
    {"after_rename", "rename", 1, AfterSignal::Replaced, TriedWith::FewSignals},
    {"after_failed_rename", "rename:error=EXDEV", 1, AfterSignal::Kept, TriedWith::EverySignal},
};

std::vector<SignalPoint> points_tried_with(TriedWith tried) {
    std::vector<SignalPoint> chosen;
    for (const SignalPoint& point : kSignalPoints) {
        if (tried == TriedWith::FewSignals || point.tried == TriedWith::EverySignal) {
            chosen.push_back(point);
        }
    }
    return chosen;
}

class SignalTest : public ::testing::TestWithParam<std::tuple<SignalPoint, Signal>> {};

TEST_P(SignalTest, RemovesTemporaryFile) {
    const auto& [point, signal] = GetParam();
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to deliver a signal at a call";
    }
    Workspace work;
    // By number: strace knows the real-time signals by number alone.
    const std::string injection = std::string("inject=") + point.injection +
                                  ":signal=" + std::to_string(signal.number) +
                                  ":when=" + std::to_string(point.when);
    const Traced traced = run_traced(strace, work, {injection});
    EXPECT_EQ(traced.result.signal, 0) << "the run died of the signal without cleaning up";
    EXPECT_EQ(traced.result.status, 128 + signal.number) << traced.result.err;
    EXPECT_EQ(traced.result.err, "");
    switch (point.after) {
        case AfterSignal::Untouched:
            work.expect_untouched();
            EXPECT_EQ(work.names(), std::set<std::string>{"f"}) << "the temporary file was left";
            break;
        case AfterSignal::Replaced:
            work.expect_replaced();
            EXPECT_EQ(work.names(), std::set<std::string>{"f"});
            break;
        case AfterSignal::Kept:
            work.expect_untouched();
            EXPECT_EQ(work.names(), (std::set<std::string>{"f", "f.tmp"}));
            EXPECT_TRUE(read_file(work.temp()) == kNew) << "the kept result was removed or changed";
            break;
    }
}

std::string signal_case_name(
    const ::testing::TestParamInfo<std::tuple<SignalPoint, Signal>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(
    EveryPoint, SignalTest,
    ::testing::Combine(::testing::ValuesIn(points_tried_with(TriedWith::FewSignals)),
                       ::testing::ValuesIn(signals_tried(true))),
    signal_case_name);

INSTANTIATE_TEST_SUITE_P(
    EverySignal, SignalTest,
    ::testing::Combine(::testing::ValuesIn(points_tried_with(TriedWith::EverySignal)),
                       ::testing::ValuesIn(signals_tried(false))),
    signal_case_name);

// A run started with a signal ignored (as under nohup) keeps ignoring it and finishes.
class IgnoredSignalTest : public ::testing::TestWithParam<Signal> {};

TEST_P(IgnoredSignalTest, StaysIgnored) {
    const Signal& signal = GetParam();
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to deliver a signal at a call";
    }
    Workspace work;
    TempDir logs;
    RunOptions run;
    run.cwd = logs.path();
    const std::string number = std::to_string(signal.number);
    run.prefix = {"/bin/sh",    "-c",        "trap '' " + number + "; exec \"$@\"",
                  "sh",         strace,      "-f",
                  "-o",         "/dev/null", "-P",
                  work.input(), "-e",        "inject=read:signal=" + number + ":when=2"};
    const RunResult result = run_tool(work.args(), run);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.signal, 0);
    work.expect_replaced();
    EXPECT_EQ(work.names(), std::set<std::string>{"f"});
}

INSTANTIATE_TEST_SUITE_P(Signals, IgnoredSignalTest, ::testing::ValuesIn(handled_signals()),
                         [](const auto& info) { return info.param.name; });

// A CPU-time limit (`ulimit -t`) ends a run by SIGXCPU, which removes the temporary file like any
// other handled signal. The run is made slow by many conditions that each search every line, so
// that it needs far more than the one second allowed.
TEST(Signals, CpuTimeLimit) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 100000; ++i) {
        content += "line " + std::to_string(i) + " OLD\n";
    }
    write_file(dir / "f", content);
    std::vector<std::string> args{"--input=f", "OLD", "NEW"};
    args.insert(args.end(), 10000, "-absent");
    RunOptions options = testing::in_folder(dir.path());
    options.cpu_time_limit = 1;
    const RunResult result = run_tool(args, options);
    if (result.status == 0) {
        GTEST_SKIP() << "the run finished within one second of CPU time";
    }
    EXPECT_EQ(result.signal, 0) << "the run died of SIGXCPU without cleaning up";
    EXPECT_EQ(result.status, 128 + SIGXCPU) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(read_file(dir / "f") == content) << "the input changed";
    EXPECT_EQ(dir.names(), std::set<std::string>{"f"}) << "the temporary file was left";
}

// ---------------------------------------------------------------------------------------------
// The number of writes follows the bytes written, not the number of lines changed: a file whose
// every line changes takes about as few writes as one whose lines all stay.

struct WriteCountRow {
    const char* name;
    int lines;
    std::string (*old_line)(int i);  // line i of the input
    std::string (*new_line)(int i);  // line i of the result
    std::vector<std::string> args;   // after --input
};

void PrintTo(const WriteCountRow& row, std::ostream* os) {
    *os << row.name;
}

std::string numbered(int i, const char* tail) {
    return "line " + std::to_string(i) + tail;
}

// A line of about 120 bytes.
std::string long_line(int i, const char* word) {
    return std::string(100, '.') + word + std::to_string(i) + "\n";
}

const WriteCountRow kWriteCountRows[] = {
    {"every_line_changes",
     200000,
     [](int i) { return numbered(i, " OLD\n"); },
     [](int i) { return numbered(i, " NEW\n"); },
     {"OLD", "NEW"}},
    {"every_line_grows",
     200000,
     [](int i) { return numbered(i, " OLD\n"); },
     [](int i) { return numbered(i, " NEW, and longer than it was\n"); },
     {"OLD", "NEW, and longer than it was"}},
    {"every_line_shrinks",
     200000,
     [](int i) { return numbered(i, " OLD\n"); },
     [](int) { return std::string("-\n"); },
     {"--wholeline", "OLD", "-"}},
    {"every_64th_line_changes",
     200000,
     [](int i) { return numbered(i, i % 64 == 0 ? " OLD\n" : " old\n"); },
     [](int i) { return numbered(i, i % 64 == 0 ? " NEW\n" : " old\n"); },
     {"OLD", "NEW"}},
    // Runs of kept lines of about 5 KiB between changed lines.
    {"long_runs_between_changes",
     50000,
     [](int i) { return long_line(i, i % 40 == 0 ? "OLD" : "old"); },
     [](int i) { return long_line(i, i % 40 == 0 ? "NEW" : "old"); },
     {"OLD", "NEW"}},
};

class WriteCountTest : public ::testing::TestWithParam<WriteCountRow> {};

TEST_P(WriteCountTest, FollowsBytesNotLines) {
    const WriteCountRow& row = GetParam();
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to count the writes";
    }
    std::string old_content;
    std::string new_content;
    for (int i = 0; i < row.lines; ++i) {
        old_content += row.old_line(i);
        new_content += row.new_line(i);
    }
    Workspace work;
    write_file(work.input(), old_content, 02640);
    std::vector<std::string> args{"--input=" + work.input()};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Traced traced = run_traced(strace, work, {}, args);
    ASSERT_EQ(traced.result.status, 0) << traced.result.err;
    EXPECT_TRUE(read_file(work.input()) == new_content) << "the result is not the edited file";

    int writes = 0;
    for (const StraceCall& call : calls_in(traced.log)) {
        writes += call.name.rfind("write", 0) == 0 || call.name.rfind("pwrite", 0) == 0;
    }
    // One write per 64 KiB read or written stands for "large": a write per few dozen changed
    // lines gives thousands here.
    const std::size_t bytes = old_content.size() + new_content.size();
    EXPECT_LE(static_cast<std::size_t>(writes), bytes / (64 << 10) + 4)
        << row.lines << " lines, " << old_content.size() << " bytes read, " << new_content.size()
        << " written";
    std::printf("%d writes for %zu bytes read and %zu written\n", writes, old_content.size(),
                new_content.size());
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteCountTest, ::testing::ValuesIn(kWriteCountRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace linemorph
