// End-to-end tests: the built tool run as a process, each case in a fresh folder, checking the
// file on disk, standard output, standard error, the exit status and that no temporary file is
// left behind. Faults that this machine can make for real are made for real; a case that the
// machine does not allow skips itself and says why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "messages.h"
#include "support.h"

namespace linemorph {
namespace {

using namespace testing;  // the messages
using testing::in_folder;
using testing::read_file;
using testing::run_tool;
using testing::RunOptions;
using testing::RunResult;
using testing::shell;
using testing::status_of;
using testing::TempDir;
using testing::write_file;

const std::string kUsage(usage_text());
const std::set<std::string> kOnlyF{"f"};

// One run of the tool on the file "f" in a fresh folder.
struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string before;                // the content of "f" before the run
    std::optional<std::string> after;  // its content after; nothing: unchanged
    std::string out;
    std::string err;
    int status;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class CommandLineTest : public ::testing::TestWithParam<Row> {};

TEST_P(CommandLineTest, Run) {
    const Row& row = GetParam();
    TempDir dir;
    write_file(dir / "f", row.before);
    const RunResult result = run_tool(row.args, in_folder(dir.path()));
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(read_file(dir / "f"), row.after.value_or(row.before));
    EXPECT_EQ(dir.names(), kOnlyF) << "a temporary file was left behind or created";
}

const std::string kSource =
    "#define OLD 1\n"
    "int a = OLD;\n"
    "static int b = OLD + OLD;\n"
    "char *s = \"OLD\"; /* OLD */\n"
    "no match here\n";

const Row kRows[] = {
    // Command lines turned away: the usage text, status 1, the file untouched.
    {"no_arguments", {}, kSource, {}, kUsage, "", 1},
    {"one_argument", {"--input=f"}, kSource, {}, kUsage, "", 1},
    {"only_options", {"--input=f", "--wholeline"}, kSource, {}, kUsage, "", 1},
    {"no_replacement_text", {"--input=f", "OLD"}, kSource, {}, kUsage, "", 1},
    {"empty_search_string",
     {"--input=f", "", "X"},
     kSource,
     {},
     kUsage,
     testing::kEmptySearchMessage,
     1},
    {"help", {"--help"}, kSource, {}, kUsage, "", 1},
    {"help_with_arguments", {"--help", "OLD", "NEW"}, kSource, {}, kUsage, "", 1},
    {"input_without_equals", {"--input", "f", "OLD", "NEW"}, kSource, {}, kUsage, "", 1},
    {"bare_double_dash", {"--input=f", "--", "OLD", "NEW"}, kSource, {}, kUsage, "", 1},
    // No usable input path: status 3, nothing created.
    {"no_input_option", {"OLD", "NEW"}, kSource, {}, "", stat_message("", ENOENT), 3},
    {"input_after_positional",
     {"OLD", "--input=f", "NEW"},
     kSource,
     {},
     "",
     stat_message("", ENOENT),
     3},
    {"missing_file",
     {"--input=missing", "OLD", "NEW"},
     kSource,
     {},
     "",
     stat_message("missing", ENOENT),
     3},
    {"percent_in_missing_path",
     {"--input=%s%n", "OLD", "NEW"},
     kSource,
     {},
     "",
     stat_message("%s%n", ENOENT),
     3},
    // Edits.
    {"partial",
     {"--input=f", "OLD", "NEW"},
     kSource,
     "#define NEW 1\nint a = NEW;\nstatic int b = NEW + OLD;\nchar *s = \"NEW\"; /* OLD */\n"
     "no match here\n",
     "",
     "",
     0},
    {"wholeline",
     {"--input=f", "--wholeline", "OLD", "NEW"},
     kSource,
     "NEW\nNEW\nNEW\nNEW\nno match here\n",
     "",
     "",
     0},
    {"wholeline_prefix_selects_mode",
     {"--wholelineXYZ", "--input=f", "OLD", "NEW"},
     kSource,
     "NEW\nNEW\nNEW\nNEW\nno match here\n",
     "",
     "",
     0},
    {"last_input_wins",
     {"--input=missing", "--input=f", "int", "long"},
     kSource,
     "#define OLD 1\nlong a = OLD;\nstatic long b = OLD + OLD;\nchar *s = \"OLD\"; /* OLD */\n"
     "no match here\n",
     "",
     "",
     0},
    {"option_after_positional_is_text",
     {"--input=f", "a", "--wholeline"},
     "a b\n",
     "--wholeline b\n",
     "",
     "",
     0},
    {"single_dash_is_positional", {"--input=f", "-x", "y"}, "a -x\n", "a y\n", "", "", 0},
    {"absent_condition",
     {"--input=f", "OLD", "NEW", "-#define"},
     kSource,
     "#define OLD 1\nint a = NEW;\nstatic int b = NEW + OLD;\nchar *s = \"NEW\"; /* OLD */\n"
     "no match here\n",
     "",
     "",
     0},
    {"present_conditions",
     {"--input=f", "OLD", "NEW", "+int", "static"},
     kSource,
     "#define OLD 1\nint a = OLD;\nstatic int b = NEW + OLD;\nchar *s = \"OLD\"; /* OLD */\n"
     "no match here\n",
     "",
     "",
     0},
    // "{=": an '=' at or before the occurrence; "}/": the first '/' at or after it. Only the
    // char line has both.
    {"before_and_after_conditions",
     {"--input=f", "OLD", "NEW", "{=", "}/"},
     kSource,
     "#define OLD 1\nint a = OLD;\nstatic int b = OLD + OLD;\nchar *s = \"NEW\"; /* OLD */\n"
     "no match here\n",
     "",
     "",
     0},
    {"percent_texts_are_literal", {"--input=f", "%s", "%n%d"}, "a %s b\n", "a %n%d b\n", "", "", 0},
    {"no_line_changes", {"--input=f", "absent", "x"}, kSource, {}, "", "", 0},
    {"empty_file", {"--input=f", "a", "b"}, "", "", "", "", 0},
    {"search_ending_in_line_feed_joins_lines",
     {"--input=f", "a\n", "a "},
     "a\nb\n",
     "a b\n",
     "",
     "",
     0},
    {"crlf_lines", {"--input=f", "--wholeline", "b", "c"}, "a\r\nb\r\n", "a\r\nc\n", "", "", 0},
    {"last_line_without_line_feed",
     {"--input=f", "--wholeline", "b", "c"},
     "a\nb",
     "a\nc\n",
     "",
     "",
     0},
    {"nul_bytes",
     {"--input=f", "b", "c"},
     std::string("a\0b\0\n", 5),
     std::string("a\0c\0\n", 5),
     "",
     "",
     0},
    {"line_longer_than_any_buffer",
     {"--input=f", "OLD", "NEW"},
     std::string(3000, 'x') + "OLD" + std::string(3000, 'y') + "OLD\n",
     std::string(3000, 'x') + "NEW" + std::string(3000, 'y') + "OLD\n",
     "",
     "",
     0},
};

INSTANTIATE_TEST_SUITE_P(Rows, CommandLineTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs the tool on "f" in `dir` and expects the plain partial edit a -> b to succeed.
void expect_edit_succeeds(const TempDir& dir, const std::string& input = "f") {
    const RunResult result = run_tool({"--input=" + input, "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

TEST(Replacement, FileIsReplacedEvenWithoutChanges) {
    TempDir dir;
    write_file(dir / "f", "x\ny\n", 0640);
    const ino_t before = status_of(dir / "f").st_ino;
    expect_edit_succeeds(dir);
    const struct stat after = status_of(dir / "f");
    EXPECT_NE(after.st_ino, before) << "a new file takes the input's place";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(dir / "f"), "x\ny\n");
}

TEST(Replacement, ModeBitsAreKept) {
    // Set-user-ID and set-group-ID bits survive for root, or for a file of one's own group.
    for (const mode_t mode : {0600, 0444, 0640, 0755, 04755, 02755, 06711, 01777}) {
        TempDir dir;
        write_file(dir / "f", "a\n", mode);
        expect_edit_succeeds(dir);
        EXPECT_EQ(status_of(dir / "f").st_mode & 07777, mode) << std::oct << mode;
        EXPECT_EQ(read_file(dir / "f"), "b\n");
        EXPECT_EQ(dir.names(), kOnlyF);
    }
}

TEST(Replacement, OwnerAndGroupAreKept) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root: only root can create a file for another owner";
    }
    TempDir dir;
    write_file(dir / "f", "a\n", 04750);
    ASSERT_EQ(::chown((dir / "f").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod((dir / "f").c_str(), 04750), 0);  // chown cleared set-user-ID
    expect_edit_succeeds(dir);
    const struct stat after = status_of(dir / "f");
    EXPECT_EQ(after.st_uid, 65534u);
    EXPECT_EQ(after.st_gid, 65534u);
    EXPECT_EQ(after.st_mode & 07777, 04750u) << "set-user-ID is set after the owner change";
}

TEST(Replacement, SymbolicLinkInputIsReplacedByRegularFile) {
    TempDir dir;
    write_file(dir / "target", "a\n", 0604);
    ASSERT_EQ(::symlink("target", (dir / "f").c_str()), 0);
    expect_edit_succeeds(dir);
    const struct stat link = status_of(dir / "f");
    EXPECT_TRUE(S_ISREG(link.st_mode));
    EXPECT_EQ(link.st_mode & 07777, 0604u) << "the mode is the target's";
    EXPECT_EQ(read_file(dir / "f"), "b\n");
    EXPECT_EQ(read_file(dir / "target"), "a\n");
}

TEST(Replacement, OtherHardLinksKeepOldContent) {
    TempDir dir;
    write_file(dir / "f", "a\n");
    ASSERT_EQ(::link((dir / "f").c_str(), (dir / "other").c_str()), 0);
    expect_edit_succeeds(dir);
    EXPECT_EQ(read_file(dir / "f"), "b\n");
    EXPECT_EQ(read_file(dir / "other"), "a\n");
}

TEST(Replacement, PathsLongerThanAnyFixedBuffer) {
    TempDir dir;
    // A relative path of about 1500 bytes through folders whose names are 250 bytes long.
    std::string relative;
    for (int i = 0; i < 6; ++i) {
        relative += std::string(250, static_cast<char>('a' + i)) + "/";
        ASSERT_EQ(::mkdir((dir / relative).c_str(), 0755), 0) << std::strerror(errno);
    }
    write_file(dir / (relative + "f"), "a\n");
    expect_edit_succeeds(dir, relative + "f");
    EXPECT_EQ(read_file(dir / (relative + "f")), "b\n");
    EXPECT_FALSE(std::filesystem::exists(dir / (relative + "f.tmp")));
}

TEST(Replacement, TemporaryNameTooLongIsReported) {
    TempDir dir;
    const std::string name(252, 'n');  // fits a file name; with ".tmp" it does not
    write_file(dir / name, "a\n");
    const RunResult result = run_tool({"--input=" + name, "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, open_message(name + ".tmp", ENAMETOOLONG));
    EXPECT_EQ(read_file(dir / name), "a\n");
    EXPECT_EQ(dir.names(), std::set<std::string>{name});
}

TEST(Replacement, InputPathTooLongIsReported) {
    TempDir dir;
    std::string path;
    while (path.size() < 5000) {
        path += "a/";
    }
    path += "f";
    const RunResult result = run_tool({"--input=" + path, "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err, stat_message(path, ENAMETOOLONG));
    EXPECT_TRUE(dir.names().empty());
}

// Inputs that are not regular files are turned away before anything is created.
TEST(NotRegular, DirectoryFifoSocketDevice) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "p").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string socket_path = dir / "s";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::set<std::string> names = dir.names();

    for (const std::string input : {"d", "p", "s", "/dev/null"}) {
        RunOptions options = in_folder(dir.path());
        options.timeout_seconds = 20;
        const RunResult result = run_tool({"--input=" + input, "a", "b"}, options);
        EXPECT_FALSE(result.timed_out) << input << ": the run hung";
        EXPECT_EQ(result.status, 4) << input;
        EXPECT_EQ(result.err, not_regular_message(input));
        EXPECT_EQ(dir.names(), names) << input;
    }
    EXPECT_FALSE(std::filesystem::exists("/dev/null.tmp"));
    ::close(sock);
}

// Whatever an earlier run or someone else left at the temporary path is removed, never written
// through, and does not block the run.
TEST(Leftovers, AreClearedAndNeverWrittenThrough) {
    struct Case {
        const char* name;
        void (*plant)(const TempDir&);
    };
    const Case cases[] = {
        {"stale_file", [](const TempDir& d) { write_file(d / "f.tmp", "half a result", 0600); }},
        {"stale_read_only_file",
         [](const TempDir& d) { write_file(d / "f.tmp", "half a result", 0400); }},
        {"symlink_to_victim",
         [](const TempDir& d) { ASSERT_EQ(::symlink("victim", (d / "f.tmp").c_str()), 0); }},
        {"symlink_to_absolute_victim",
         [](const TempDir& d) {
             ASSERT_EQ(::symlink((d / "victim").c_str(), (d / "f.tmp").c_str()), 0);
         }},
        {"dangling_symlink",
         [](const TempDir& d) { ASSERT_EQ(::symlink("nowhere", (d / "f.tmp").c_str()), 0); }},
        {"hard_link_to_victim",
         [](const TempDir& d) {
             ASSERT_EQ(::link((d / "victim").c_str(), (d / "f.tmp").c_str()), 0);
         }},
        {"fifo", [](const TempDir& d) { ASSERT_EQ(::mkfifo((d / "f.tmp").c_str(), 0600), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "f", "a\n");
        write_file(dir / "victim", "precious\n", 0666);
        c.plant(dir);
        RunOptions options = in_folder(dir.path());
        options.timeout_seconds = 20;
        const RunResult result = run_tool({"--input=f", "a", "b"}, options);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(read_file(dir / "f"), "b\n");
        EXPECT_EQ(read_file(dir / "victim"), "precious\n");
        EXPECT_EQ(status_of(dir / "victim").st_mode & 07777, 0666u);
        EXPECT_EQ(dir.names(), (std::set<std::string>{"f", "victim"}));
    }
}

TEST(Leftovers, TemporaryFileHeldByLiveRunIsLeftAlone) {
    TempDir dir;
    write_file(dir / "f", "a\n");
    write_file(dir / "f.tmp", "another run's work", 0600);
    const int held = ::open((dir / "f.tmp").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const RunResult result = run_tool({"--input=f", "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, open_message("f.tmp", EWOULDBLOCK));
    EXPECT_EQ(read_file(dir / "f"), "a\n");
    EXPECT_EQ(read_file(dir / "f.tmp"), "another run's work");
    ::close(held);
}

TEST(Leftovers, FolderAtTemporaryPathIsAnError) {
    TempDir dir;
    write_file(dir / "f", "a\n");
    ASSERT_EQ(::mkdir((dir / "f.tmp").c_str(), 0755), 0);
    const RunResult result = run_tool({"--input=f", "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err.rfind("Error: Cannot open f.tmp (", 0), 0u) << result.err;
    EXPECT_EQ(read_file(dir / "f"), "a\n");
}

// Everything in a folder tree, by relative name: each entry's kind, inode and content (a link's
// target), so that a run that must change nothing can be checked to have changed nothing.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        const struct stat st = status_of(path);
        std::string what = std::to_string(st.st_ino) + " ";
        if (S_ISLNK(st.st_mode)) {
            what += "link to " + std::filesystem::read_symlink(path).string();
        } else if (S_ISREG(st.st_mode)) {
            what += "file " + read_file(path);
        } else {
            what += "other";
        }
        entries[path.substr(root.size())] = what;
    }
    return entries;
}

// An input that names its own temporary path, in any of the ways a link or a second name can
// make it: the file at the temporary path is the input, and clearing it would lose the input.
// The run ends with status 6 and changes nothing.
TEST(TemporaryPathIsTheInput, NothingIsRemovedOrRead) {
    struct Case {
        const char* name;
        const char* input;
        void (*plant)(const TempDir&);
    };
    const Case cases[] = {
        {"link_to_temporary_path", "f",
         [](const TempDir& d) { ASSERT_EQ(::symlink("f.tmp", (d / "f").c_str()), 0); }},
        {"absolute_link", "f",
         [](const TempDir& d) {
             ASSERT_EQ(::symlink((d / "f.tmp").c_str(), (d / "f").c_str()), 0);
         }},
        {"roundabout_link", "f",
         [](const TempDir& d) {
             ASSERT_EQ(::mkdir((d / "sub").c_str(), 0755), 0);
             ASSERT_EQ(::symlink("sub/../././f.tmp", (d / "f").c_str()), 0);
         }},
        {"chain_of_links", "f",
         [](const TempDir& d) {
             ASSERT_EQ(::symlink("g", (d / "f").c_str()), 0);
             ASSERT_EQ(::symlink((d / "h").c_str(), (d / "g").c_str()), 0);
             ASSERT_EQ(::symlink("./f.tmp", (d / "h").c_str()), 0);
         }},
        {"input_in_a_subfolder", "sub/f",
         [](const TempDir& d) {
             ASSERT_EQ(::mkdir((d / "sub").c_str(), 0755), 0);
             ASSERT_EQ(::rename((d / "f.tmp").c_str(), (d / "sub/f.tmp").c_str()), 0);
             ASSERT_EQ(::symlink("../sub/f.tmp", (d / "sub/f").c_str()), 0);
         }},
        {"temporary_path_a_hard_link", "f",
         [](const TempDir& d) { ASSERT_EQ(::link((d / "f.tmp").c_str(), (d / "f").c_str()), 0); }},
        {"dotted_input_path", "./f",
         [](const TempDir& d) { ASSERT_EQ(::symlink("f.tmp", (d / "f").c_str()), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "f.tmp", "a OLD\n", 0640);
        c.plant(dir);
        const auto before = snapshot(dir.path());
        const RunResult result =
            run_tool({std::string("--input=") + c.input, "OLD", "NEW"}, in_folder(dir.path()));
        EXPECT_EQ(result.status, 6);
        EXPECT_EQ(result.err, temp_is_input_message(std::string(c.input) + ".tmp"));
        EXPECT_EQ(snapshot(dir.path()), before);
        EXPECT_EQ(status_of(dir / (std::string(c.input) + ".tmp")).st_mode & 07777, 0640u);
    }
}

// The input swapped for a link to the run's own temporary file after the run opened it: the run
// must not take its own, still empty, file for the input.
TEST(TemporaryPathIsTheInput, SwappedInWhileTheRunWaits) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace, to hold a run up";
    }
    TempDir dir;
    write_file(dir / "f", "a OLD\n");
    RunOptions held = in_folder(dir.path());
    // The second flock is the temporary file's: the run waits with it created and locked.
    held.prefix = {strace, "-f", "-o", "/dev/null", "-e", "inject=flock:delay_exit=2000000:when=2"};
    RunResult result;
    std::thread run([&] { result = run_tool({"--input=f", "OLD", "NEW"}, held); });
    for (int i = 0; i < 500 && !std::filesystem::exists(dir / "f.tmp"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(::rename((dir / "f").c_str(), (dir / "original").c_str()), 0);
    ASSERT_EQ(::symlink("f.tmp", (dir / "f").c_str()), 0);
    run.join();
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, temp_is_input_message("f.tmp"));
    EXPECT_EQ(read_file(dir / "original"), "a OLD\n");
    EXPECT_TRUE(S_ISLNK(status_of(dir / "f").st_mode)) << "the link was replaced";
    EXPECT_EQ(dir.names(), (std::set<std::string>{"f", "original"}));
}

// An input that another process holds under an exclusive lock is being written (it is another
// run's temporary file, say): it is refused, in a real run and a dry run alike. A shared lock,
// as readers take, does not stand in the way.
TEST(InputLock, ExclusivelyLockedInputIsRefused) {
    struct Case {
        const char* name;
        int lock;  // held on the input by the test, 0 for none
        const char* mode_option;
        int status;
    };
    const Case cases[] = {
        {"unlocked_real_run", 0, "--input=f", 0},
        {"shared_lock_real_run", LOCK_SH, "--input=f", 0},
        {"exclusive_lock_real_run", LOCK_EX, "--input=f", 4},
        {"unlocked_dry_run", 0, "--dryrun", 0},
        {"shared_lock_dry_run", LOCK_SH, "--dryrun", 0},
        {"exclusive_lock_dry_run", LOCK_EX, "--dryrun", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "f", "a\n");
        const int held = ::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        if (c.lock != 0) {
            ASSERT_EQ(::flock(held, c.lock), 0);
        }
        const bool dry = std::string(c.mode_option) == "--dryrun";
        const RunResult result =
            run_tool({"--input=f", c.mode_option, "a", "b"}, in_folder(dir.path()));
        ::close(held);
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.status == 4) {
            EXPECT_EQ(result.err, open_message("f", EWOULDBLOCK));
            EXPECT_EQ(result.out, "");
        }
        const bool edited = c.status == 0 && !dry;
        EXPECT_EQ(read_file(dir / "f"), edited ? "b\n" : "a\n");
        EXPECT_EQ(dir.names(), kOnlyF);
    }
}

// A run given another run's temporary file as its input: that file is locked for the other run's
// whole life, so this run refuses it and leaves it alone.
TEST(InputLock, AnotherRunsTemporaryFileIsRefused) {
    TempDir dir;
    write_file(dir / "f", "a\n");
    write_file(dir / "f.tmp", "half a result", 0600);
    const int held = ::open((dir / "f.tmp").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const RunResult result = run_tool({"--input=f.tmp", "half", "whole"}, in_folder(dir.path()));
    ::close(held);
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, open_message("f.tmp", EWOULDBLOCK));
    EXPECT_EQ(read_file(dir / "f.tmp"), "half a result");
    EXPECT_EQ(dir.names(), (std::set<std::string>{"f", "f.tmp"}));
}

// The input replaced by a FIFO after the run first opened it: the second open goes through the
// same checks as the first, so the FIFO is turned away without being opened.
TEST(NotRegular, SwappedInBeforeTheReopenIsNeverOpened) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace, to hold a run up";
    }
    TempDir dir;
    TempDir logs;
    write_file(dir / "f", "a\n");
    RunOptions held = in_folder(dir.path());
    held.prefix = {strace, "-f",
                   "-o",   logs / "log",
                   "-e",   "trace=openat,flock",
                   "-e",   "inject=flock:delay_exit=2000000:when=2"};
    RunResult result;
    std::thread run([&] { result = run_tool({"--input=f", "a", "b"}, held); });
    for (int i = 0; i < 500 && !std::filesystem::exists(dir / "f.tmp"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(::rename((dir / "f").c_str(), (dir / "original").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "f").c_str(), 0644), 0);
    run.join();
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, not_regular_message("f"));
    const std::string log = read_file(logs / "log");
    std::size_t opens = 0;
    for (std::size_t at = 0; (at = log.find("openat(AT_FDCWD, \"f\",", at)) != std::string::npos;
         ++at) {
        ++opens;
    }
    EXPECT_EQ(opens, 1u) << "the FIFO was opened:\n" << log;
    EXPECT_EQ(read_file(dir / "original"), "a\n");
    EXPECT_EQ(dir.names(), (std::set<std::string>{"f", "original"}));
}

// Runs on the same file at the same time: each ends with status 0 or 6 and the file holds one
// run's complete result.
TEST(Concurrency, TwoRunsOnOneFile) {
    std::string original;
    std::string by_first;
    std::string by_second;
    for (int i = 0; i < 40000; ++i) {
        const std::string n = std::to_string(i);
        original += "line " + n + " OLD\n";
        by_first += "line " + n + " FIRST\n";
        by_second += "line " + n + " SECOND\n";
    }
    TempDir dir;
    int successes = 0;
    for (int round = 0; round < 20; ++round) {
        write_file(dir / "f", original);
        RunResult first;
        RunResult second;
        std::thread a([&] {
            first = run_tool({"--input=f", "OLD", "FIRST"}, in_folder(dir.path()));
        });
        std::thread b([&] {
            second = run_tool({"--input=f", "OLD", "SECOND"}, in_folder(dir.path()));
        });
        a.join();
        b.join();
        for (const RunResult* r : {&first, &second}) {
            EXPECT_TRUE(r->status == 0 || r->status == 6) << r->status << " " << r->err;
            successes += r->status == 0;
        }
        EXPECT_TRUE(first.status == 0 || second.status == 0);
        const std::string now = read_file(dir / "f");
        EXPECT_TRUE(now == by_first || now == by_second) << "round " << round;
        EXPECT_EQ(dir.names(), kOnlyF) << "round " << round;
    }
    EXPECT_GE(successes, 20);
}

// A run that opens the input just after another run renamed its result onto it must read that
// result, not be turned away by the lock the other run held while writing it. Here the first run
// is held up by strace at the folder's sync, right after its rename.
TEST(Concurrency, RunRightAfterAnotherRunsRename) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace, to hold a run up";
    }
    TempDir dir;
    write_file(dir / "f", "a OLD\n");
    RunOptions held = in_folder(dir.path());
    held.prefix = {strace,      "-f", "-o",
                   "/dev/null", "-e", "inject=fsync:delay_enter=2000000:when=2"};
    RunResult first;
    std::thread run([&] { first = run_tool({"--input=f", "OLD", "FIRST"}, held); });
    for (int i = 0; i < 500 && read_file(dir / "f") != "a FIRST\n"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const RunResult second = run_tool({"--input=f", "FIRST", "SECOND"}, in_folder(dir.path()));
    run.join();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(read_file(dir / "f"), "a SECOND\n");
    EXPECT_EQ(dir.names(), kOnlyF);
}

// A run that opened the input just before another run replaced it must not write a result made
// from the old content: once it holds its lock, it reads what the path names. Here the second
// run is held up by strace right before it creates its temporary file.
TEST(Concurrency, RunThatOpenedOldInputSeesTheNewOne) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace, to hold a run up";
    }
    TempDir dir;
    std::string original;
    std::string both;
    for (int i = 0; i < 1000; ++i) {
        original += "line " + std::to_string(i) + " OLD\n";
        both += "LINE " + std::to_string(i) + " FIRST\n";
    }
    write_file(dir / "f", original);
    RunOptions held = in_folder(dir.path());
    held.prefix = {strace,  "-f", "-o",           "/dev/null", "-P",
                   "f.tmp", "-e", "trace=openat", "-e",        "inject=openat:delay_enter=3000000"};
    RunResult late;
    std::thread second([&] { late = run_tool({"--input=f", "line", "LINE"}, held); });
    std::this_thread::sleep_for(std::chrono::seconds(1));  // it has opened the input by now
    const RunResult early = run_tool({"--input=f", "OLD", "FIRST"}, in_folder(dir.path()));
    second.join();
    EXPECT_EQ(early.status, 0) << early.err;
    EXPECT_EQ(late.status, 0) << late.err;
    EXPECT_EQ(read_file(dir / "f"), both) << "one run's edit was lost";
    EXPECT_EQ(dir.names(), kOnlyF);
}

// The temporary path is taken over while the run is about to rename: the run must not rename
// what it did not write, nor remove it, and the input stays as it was.
TEST(Concurrency, TemporaryFileReplacedBeforeRename) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace, to hold a run up";
    }
    TempDir dir;
    write_file(dir / "f", "a\n");
    RunOptions held = in_folder(dir.path());
    held.prefix = {strace,      "-f", "-o",
                   "/dev/null", "-e", "inject=fsync:delay_enter=3000000:when=1"};
    RunResult result;
    std::thread run([&] { result = run_tool({"--input=f", "a", "b"}, held); });
    // Wait until the whole result is written, then put another file in its place.
    for (int i = 0; i < 500 && !(std::filesystem::exists(dir / "f.tmp") &&
                                 std::filesystem::file_size(dir / "f.tmp") == 2);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(::rename((dir / "f.tmp").c_str(), (dir / "taken").c_str()), 0);
    write_file(dir / "f.tmp", "planted");
    run.join();
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, temp_replaced_message("f.tmp"));
    EXPECT_EQ(read_file(dir / "f"), "a\n");
    EXPECT_EQ(read_file(dir / "f.tmp"), "planted");
    EXPECT_EQ(read_file(dir / "taken"), "b\n");
}

// Faults made for real: each leaves the input untouched and no temporary file behind.
TEST(Faults, FullDisk) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    TempDir dir;
    const std::string mount_point = dir / "small";
    ASSERT_EQ(::mkdir(mount_point.c_str(), 0755), 0);
    if (shell("mount -t tmpfs -o size=256k tmpfs '" + mount_point + "' 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const std::string content(160 * 1024, 'a');  // fits once, not twice
    write_file(mount_point + "/f", content + "\n");
    const RunResult result = run_tool({"--input=f", "a", "b"}, in_folder(mount_point));
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, write_message("f.tmp", ENOSPC));
    EXPECT_EQ(read_file(mount_point + "/f"), content + "\n");
    EXPECT_FALSE(std::filesystem::exists(mount_point + "/f.tmp"));
    EXPECT_EQ(shell("umount '" + mount_point + "'"), 0);
}

TEST(Faults, FileSizeLimit) {
    TempDir dir;
    const std::string content(64 * 1024, 'a');
    write_file(dir / "f", content + "\n");
    RunOptions options = in_folder(dir.path());
    options.file_size_limit = 16 * 1024;
    const RunResult result = run_tool({"--input=f", "a", "b"}, options);
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, write_message("f.tmp", EFBIG));
    EXPECT_EQ(read_file(dir / "f"), content + "\n");
    EXPECT_EQ(dir.names(), kOnlyF);
}

TEST(Faults, ReadError) {
    // A process's own memory, read from offset 0 (never mapped), fails with EIO.
    if (::access("/proc/self/mem", F_OK) != 0) {
        GTEST_SKIP() << "needs /proc/self/mem to make a read fail";
    }
    TempDir dir;
    ASSERT_EQ(::symlink("/proc/self/mem", (dir / "f").c_str()), 0);
    const RunResult result = run_tool({"--input=f", "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, read_message("f", EIO));
    EXPECT_EQ(dir.names(), kOnlyF) << "the incomplete temporary file is removed";
}

TEST(Faults, LineTooLongForMemory) {
#ifdef LINEMORPH_ADDRESS_SANITIZER
    GTEST_SKIP() << "an address-space limit breaks AddressSanitizer's own reservations";
#endif
    TempDir dir;
    const std::string content(40 << 20, 'a');  // one line without a line feed
    write_file(dir / "f", content);
    RunOptions options = in_folder(dir.path());
    options.memory_limit = 64 << 20;
    const RunResult result = run_tool({"--input=f", "a", "b"}, options);
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, read_message("f", ENOMEM));
    EXPECT_EQ(read_file(dir / "f"), content);
    EXPECT_EQ(dir.names(), kOnlyF);
}

TEST(Faults, RenameOntoMountPoint) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root to bind-mount a file";
    }
    TempDir dir;
    write_file(dir / "f", "a\n");
    write_file(dir / "other", "a a\n");
    if (shell("mount --bind '" + (dir / "other") + "' '" + (dir / "f") + "' 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot bind-mount here";
    }
    const RunResult result = run_tool({"--input=f", "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(shell("umount '" + (dir / "f") + "'"), 0);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, rename_message("f.tmp", "f", EBUSY));
    EXPECT_EQ(read_file(dir / "f"), "a\n");
    EXPECT_EQ(read_file(dir / "f.tmp"), "b a\n") << "the temporary file keeps the whole result";
}

// Faults that cannot be made for real here are injected with strace: see fault_injection_test.

// Permission errors, as an unprivileged user.
TEST(Faults, PermissionErrorsAsUnprivilegedUser) {
    const std::string setpriv = testing::find_program("setpriv");
    if (!is_root() || setpriv.empty()) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as an unprivileged user";
    }
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    // The tool's own copy, so that the unprivileged user can run it wherever the build lies.
    const std::string binary = dir / "linemorph";
    write_file(binary, read_file(testing::tool_path()), 0755);

    struct Case {
        const char* name;
        mode_t folder_mode;
        mode_t file_mode;
        int status;
        std::string err;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        {"folder_not_writable", 0755, 0666, 6, open_message("w/f.tmp", EACCES), {}},
        {"file_not_readable", 0777, 0200, 4, open_message("w/f", EACCES), {}},
        {"folder_not_searchable", 0700, 0644, 3, stat_message("w/f", EACCES), {}},
        // Root's read-only file in a folder anyone may write: replaced, the owner change refused.
        {"others_file_in_open_folder", 0777, 0644, 0, "", "b\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string work = dir / "w";
        std::filesystem::remove_all(work);
        ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
        write_file(work + "/f", "a\n", c.file_mode);
        ASSERT_EQ(::chmod(work.c_str(), c.folder_mode), 0);
        RunOptions options = in_folder(dir.path());
        options.prefix = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
        options.binary = binary;
        const RunResult result = run_tool({"--input=w/f", "a", "b"}, options);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(read_file(work + "/f"), c.after.value_or("a\n"));
        EXPECT_FALSE(std::filesystem::exists(work + "/f.tmp"));
        if (c.status == 0) {
            const struct stat after = status_of(work + "/f");
            EXPECT_EQ(after.st_uid, 65534u);
            EXPECT_EQ(after.st_mode & 07777, c.file_mode);
        }
    }
}

// Results match GNU sed's on the edits sed can express.
TEST(AgainstSed, SameResultAsSed) {
    if (testing::find_program("sed").empty()) {
        GTEST_SKIP() << "sed is not installed";
    }
    const std::string source =
        "/* OLD_NAME: configuration */\n"
        "#define OLD_NAME 4\n"
        "#ifdef OLD_NAME\n"
        "static int OLD_NAME_table[] = { OLD_NAME, OLD_NAME };\r\n"
        "int value = OLD_NAME;\n"
        "  call(OLD_NAME); int x = OLD_NAME;\n"
        "static const char *name = \"OLD_NAME\";\n"
        "#endif\n";
    struct Case {
        const char* sed;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"s/OLD_NAME/NEW/", {"OLD_NAME", "NEW"}},
        {"/#define/!s/OLD_NAME/NEW/", {"OLD_NAME", "NEW", "-#define"}},
        {"/int/s/OLD_NAME/NEW/", {"OLD_NAME", "NEW", "+int"}},
        {"/int/{/static/!s/OLD_NAME/NEW/}", {"OLD_NAME", "NEW", "int", "-static"}},
        {"/OLD_NAME/c\\\nNEW LINE", {"--wholeline", "OLD_NAME", "NEW LINE"}},
        {"/#/!{/OLD_NAME/c\\\nX\n}", {"--wholeline", "OLD_NAME", "X", "-#"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sed);
        TempDir dir;
        write_file(dir / "by_sed", source);
        write_file(dir / "f", source);
        write_file(dir / "script.sed", std::string(c.sed) + "\n");
        ASSERT_EQ(shell("sed -i -f '" + (dir / "script.sed") + "' '" + (dir / "by_sed") + "'"), 0);
        std::vector<std::string> args{"--input=f"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult result = run_tool(args, in_folder(dir.path()));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(read_file(dir / "f"), read_file(dir / "by_sed"));
    }
}

// ---------------------------------------------------------------------------------------------
// Closed standard descriptors: the run fills them with /dev/null, so that none of the files it
// opens lands on descriptor 0, 1 or 2. With standard output closed, a dry run cannot write its
// diff; a real run writes nothing there and works as usual; messages to a closed standard error
// go nowhere.

struct ClosedRow {
    const char* name;
    std::vector<int> closed;  // the standard descriptors closed when the run starts
    std::vector<std::string> args;
    std::optional<std::string> after;  // the content of "f" after the run; nothing: unchanged
    std::string out;
    std::string err;
    int status;
};

void PrintTo(const ClosedRow& row, std::ostream* os) {
    *os << row.name;
}

const std::vector<std::string> kEdit{"--input=f", "a", "b"};
const std::vector<std::string> kPreview{"--input=f", "--dryrun", "a", "b"};
const std::string kPreviewDiff = "--- f\n+++ f\n@@ -1 +1 @@\n-a\n+b\n";
const std::string kCannotWriteOutput = output_write_message(EBADF);

const ClosedRow kClosedRows[] = {
    {"stdin_real_run", {0}, kEdit, "b\n", "", "", 0},
    {"stdout_real_run", {1}, kEdit, "b\n", "", "", 0},
    {"stderr_real_run", {2}, kEdit, "b\n", "", "", 0},
    {"all_three_real_run", {0, 1, 2}, kEdit, "b\n", "", "", 0},
    {"stdin_dry_run", {0}, kPreview, {}, kPreviewDiff, "", 0},
    {"stdout_dry_run", {1}, kPreview, {}, "", kCannotWriteOutput, 6},
    {"stderr_dry_run", {2}, kPreview, {}, kPreviewDiff, "", 0},
    {"all_three_dry_run", {0, 1, 2}, kPreview, {}, "", "", 6},
    // A failing run's message goes nowhere when standard error is closed.
    {"stderr_failing_run", {2}, {"--input=missing", "a", "b"}, {}, "", "", 3},
    {"stdout_and_stderr_dry_run", {1, 2}, kPreview, {}, "", "", 6},
};

// Gives the real path of `path`, as strace shows the paths of open descriptors.
std::string real_path(const std::string& path) {
    std::error_code error;
    const auto resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

class ClosedDescriptorTest : public ::testing::TestWithParam<ClosedRow> {};

TEST_P(ClosedDescriptorTest, Run) {
    const ClosedRow& row = GetParam();
    TempDir dir;
    write_file(dir / "f", "a\n");
    RunOptions options = in_folder(dir.path());
    options.closed_descriptors = row.closed;
    const RunResult result = run_tool(row.args, options);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(read_file(dir / "f"), row.after.value_or("a\n"));
    EXPECT_EQ(dir.names(), kOnlyF);

    // Again under strace, which shows where each file the run opens (or duplicates) lands; the
    // descriptors are closed between strace and the tool.
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace, to see the descriptors the run opens";
    }
    write_file(dir / "f", "a\n");
    TempDir logs;
    const std::string log = logs / "strace.log";
    std::string closing = "exec \"$0\" \"$@\"";
    for (const int fd : row.closed) {
        closing += " " + std::to_string(fd) + (fd == 0 ? "<&-" : ">&-");
    }
    options.closed_descriptors.clear();
    options.prefix = {
        strace,    "-f", "-y",   "-o", log, "-e", "trace=open,openat,dup,dup2,dup3,fcntl",
        "/bin/sh", "-c", closing};
    const RunResult traced = run_tool(row.args, options);
    EXPECT_EQ(traced.status, row.status);
    const std::string folder = real_path(dir.path());
    int seen = 0;
    std::istringstream lines(read_file(log));
    for (std::string line; std::getline(lines, line);) {
        // A descriptor given back shows as "= 3</real/path>".
        const std::size_t result_at = line.rfind(") = ");
        const std::size_t path_at = line.find('<', result_at);
        if (result_at == std::string::npos || path_at == std::string::npos ||
            line.compare(path_at + 1, folder.size(), folder) != 0) {
            continue;
        }
        ++seen;
        EXPECT_GE(std::atoi(line.c_str() + result_at + 4), 3)
            << "a file landed on a standard descriptor: " << line;
    }
    if (row.status != 3) {
        EXPECT_GT(seen, 0) << "strace showed no file opened in the folder";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ClosedDescriptorTest, ::testing::ValuesIn(kClosedRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Without /dev/null to fill a closed descriptor with, the run stops before it opens anything.
TEST(ClosedDescriptors, NoDevNull) {
    const std::string unshare = testing::find_program("unshare");
    if (!is_root() || unshare.empty()) {
        GTEST_SKIP() << "needs root and unshare to hide /dev in a mount namespace";
    }
    if (shell("'" + unshare + "' --mount sh -c 'mount -t tmpfs tmpfs /dev' 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot mount over /dev in a mount namespace here";
    }
    TempDir dir;
    write_file(dir / "f", "a\n");
    RunOptions options = in_folder(dir.path());
    options.prefix = {unshare, "--mount", "sh", "-c",
                      "mount -t tmpfs tmpfs /dev && exec \"$0\" \"$@\" >&-"};
    const RunResult result = run_tool(kEdit, options);
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, standard_descriptors_message(ENOENT));
    EXPECT_EQ(read_file(dir / "f"), "a\n");
    EXPECT_EQ(dir.names(), kOnlyF);
}

// ---------------------------------------------------------------------------------------------
// A dry run whose reader closes the pipe early dies of SIGPIPE, as diff does, so that a pipeline
// like `linemorph --dryrun ... | head -1` ends quietly; the input stays as it was.

// Runs the tool on `args` in `dir`, its standard output a pipe whose reader reads at most
// `reads` bytes and closes it, its standard error into the file `err`; gives the wait status.
int run_into_short_reader(const TempDir& dir, const std::vector<std::string>& args,
                          std::size_t reads, const std::string& err) {
    std::vector<std::string> command{testing::tool_path()};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "pipe: " << system_text(errno);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err_fd < 0 || ::dup2(err_fd, STDERR_FILENO) < 0 ||
            ::dup2(pipe_fds[1], STDOUT_FILENO) < 0 || ::chdir(dir.path().c_str()) != 0) {
            ::_exit(120);
        }
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << system_text(errno);
        ::close(pipe_fds[0]);
        return -1;
    }
    std::string taken(reads, '\0');
    std::size_t got = 0;
    while (got < reads) {
        const ssize_t n = ::read(pipe_fds[0], taken.data() + got, reads - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

TEST(DryRunPipe, ReaderClosingEarlyEndsTheRunBySigpipe) {
    std::string content;
    for (int i = 0; i < 100000; ++i) {
        content +=
            "a " + std::to_string(i) + "\n";  // a diff of some MiB, far more than a pipe holds
    }
    for (const std::size_t reads : {std::size_t{0}, std::size_t{100}, std::size_t{200000}}) {
        SCOPED_TRACE("the reader takes " + std::to_string(reads) + " bytes");
        TempDir dir;
        TempDir elsewhere;
        write_file(dir / "f", content);
        const int status = run_into_short_reader(dir, kPreview, reads, elsewhere / "err");
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "wait status " << status;
        EXPECT_EQ(read_file(elsewhere / "err"), "");
        EXPECT_TRUE(read_file(dir / "f") == content) << "the input changed";
        EXPECT_EQ(dir.names(), kOnlyF);
    }
}

}  // namespace
}  // namespace linemorph
