// The dry run: the diff it prints must turn the input, through GNU patch, into exactly what a real
// run makes, with the hunks GNU diff -u would print where the two agree on the change; the input
// and its folder must stay as they were.
#include "dry_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "messages.h"
#include "random_cases.h"
#include "reference_rewriter.h"
#include "rewrite_cases.h"
#include "support.h"

namespace linemorph {
namespace {

using testing::in_folder;
using testing::read_file;
using testing::run_tool;
using testing::RunOptions;
using testing::RunResult;
using testing::shell;
using testing::status_of;
using testing::TempDir;
using testing::write_file;

// Gives what a folder holds, each file's content, inode and times, and the folder's own times:
// equal before and after a run that touched nothing.
std::string folder_state(const TempDir& dir) {
    const auto times = [](const struct stat& st) {
        return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
               std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
    };
    std::string state = "folder " + times(status_of(dir.path())) + "\n";
    for (const std::string& name : dir.names()) {
        const std::string path = dir / name;
        const struct stat st = status_of(path);
        state += name + " inode " + std::to_string(st.st_ino) + " mode " +
                 std::to_string(st.st_mode) + " " + times(st) + "\n";
        if (S_ISREG(st.st_mode)) {
            state += read_file(path) + "\n";
        }
    }
    return state;
}

// What GNU patch made of a diff applied to a copy of a file.
struct Patched {
    int status = -1;
    std::string messages;  // what patch printed
    std::string content;   // the file afterwards
};

// Runs `patch --batch --fuzz=0 g < d` on a copy `g` of `before` in a fresh folder. An exact diff
// applies with no other message than "patching file g": no offset, no fuzz, no reject.
Patched apply_with_patch(const std::string& before, const std::string& diff) {
    TempDir dir;
    write_file(dir / "g", before);
    write_file(dir / "d", diff);
    Patched patched;
    patched.status =
        shell("cd '" + dir.path() + "' && patch --batch --fuzz=0 g < d > messages 2>&1");
    patched.messages = read_file(dir / "messages");
    patched.content = read_file(dir / "g");
    EXPECT_EQ(dir.names(), (std::set<std::string>{"d", "g", "messages"}));
    return patched;
}

// Expects `diff` to be a unified diff of file "f" that patch applies exactly to `before`,
// giving `after`.
void expect_patch_gives(const std::string& before, const std::string& diff,
                        const std::string& after) {
    EXPECT_EQ(diff.rfind("--- f\n+++ f\n@@ -", 0), 0u) << diff;
    const Patched patched = apply_with_patch(before, diff);
    EXPECT_EQ(patched.status, 0) << patched.messages << diff;
    EXPECT_EQ(patched.messages, "patching file g\n") << diff;
    EXPECT_EQ(patched.content, after) << diff;
}

// Gives the hunks GNU diff -u prints for `before` against `after` (its two header lines left
// out).
std::string diff_u_hunks(const std::string& before, const std::string& after) {
    TempDir dir;
    write_file(dir / "old", before);
    write_file(dir / "new", after);
    EXPECT_EQ(shell("cd '" + dir.path() + "' && diff -u old new > out"), 1);
    const std::string out = read_file(dir / "out");
    const std::size_t second = out.find('\n', out.find('\n') + 1);
    return out.substr(second + 1);
}

std::string numbered_lines(int first, int last) {
    std::string lines;
    for (int i = first; i <= last; ++i) {
        lines += "line " + std::to_string(i) + "\n";
    }
    return lines;
}

// Whether GNU diff -u finds the same hunks. Where the new lines repeat old ones, diff may pair
// them differently (an equally short diff, or one that pairs lines across a join): then only
// patch decides. A change of more than kHunkBound bytes is cut into several hunks, each of a
// bounded size, where diff -u writes one.
enum class DiffU { Same, MayDiffer, Cut };

// Gives the length of each hunk of a unified diff, its header line included.
std::vector<std::size_t> hunk_lengths(const std::string& diff) {
    std::vector<std::size_t> starts;
    for (std::size_t at = diff.find("\n@@ -"); at != std::string::npos;
         at = diff.find("\n@@ -", at + 1)) {
        starts.push_back(at + 1);
    }
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        lengths.push_back((i + 1 < starts.size() ? starts[i + 1] : diff.size()) - starts[i]);
    }
    return lengths;
}

std::string repeated(std::string_view text, std::size_t times) {
    std::string all;
    all.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

// One dry run on the file "f": the arguments after "--input=f --dryrun" and the file's content.
struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string before;
    DiffU diff_u = DiffU::Same;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

const std::string kTwenty = numbered_lines(1, 20);
// A million short lines: a change to all of them is a hunk of several times kHunkBound.
const std::string kMillion = repeated("abc\n", 1000000);

const Row kRows[] = {
    {"middle_of_a_file", {"line 10\n", "ten\n"}, kTwenty},
    {"first_line", {"line 1\n", "one\n"}, kTwenty},
    {"last_line", {"line 20", "twenty"}, kTwenty},
    {"second_line", {"line 2\n", "two\n"}, kTwenty},
    {"second_to_last_line", {"line 19", "nineteen"}, kTwenty},
    // Six unchanged lines between two changes: their contexts touch, one hunk. Seven: two.
    {"changes_six_apart_share_a_hunk", {"c", "C"}, "u\nu\nc\n1\n2\n3\n4\n5\n6\nc\nu\nu\nu\nu\n"},
    {"changes_seven_apart_make_two_hunks",
     {"c", "C"},
     "u\nu\nc\n1\n2\n3\n4\n5\n6\n7\nc\nu\nu\nu\nu\n"},
    {"adjacent_changed_lines_are_one_change", {"1", "one", "-line 1\n"}, kTwenty},
    {"many_hunks", {"5\n", "five\n"}, numbered_lines(1, 100)},
    {"conditions",
     {"OLD", "NEW", "+int", "-static"},
     "#define OLD 1\nint a = OLD;\nstatic int b = OLD;\nint c = OLD + OLD;\n"},
    {"wholeline",
     {"--wholeline", "OLD", "gone"},
     "#define OLD 1\nint a = OLD;\nkeep\nstatic int b = OLD;\n"},
    {"crlf_partial", {"foo", "bar"}, "a\r\nfoo\r\nb\r\n"},
    {"crlf_wholeline", {"--wholeline", "foo", "bar"}, "a\r\nfoo\r\nb\r\n"},
    {"lone_carriage_returns", {"foo", "f\roo"}, "a\rfoo\nfoo\r"},
    {"changed_last_line_without_feed", {"foo", "bar"}, "a\nb\nfoo"},
    {"wholeline_gives_last_line_a_feed", {"--wholeline", "foo", "bar"}, "a\nfoo"},
    {"wholeline_same_text_gains_only_a_feed", {"--wholeline", "foo", "foo"}, "a\nfoo"},
    {"last_line_without_feed_as_context", {"foo", "bar"}, "foo\na\nb"},
    {"last_line_without_feed_beyond_context", {"foo", "bar"}, "foo\na\nb\nc\nd"},
    // A search string ending in a line feed joins the changed line with the next one.
    {"join_with_kept_line", {"1\n", "X"}, "w\nx\ny\na1\nb\nz\n"},
    {"join_chain_of_changed_lines", {"1\n", "X"}, "w\na1\nb1\nc\nz\n"},
    {"join_into_last_line_without_feed", {"1\n", "X"}, "a\na1\nb"},
    {"join_at_end_of_file", {"1\n", "X"}, "a\nb1\n"},
    {"join_then_unchanged_feed_only_line", {"1\n", "X"}, "a1\n\nb\n"},
    {"join_every_line", {"\n", ""}, "a\nb\nc\nd\ne\n"},
    {"joins_back_to_back", {"1\n", "X", "-q"}, "a1\nq1\nb1\nc\n"},
    {"crlf_joined", {"\r\n", ","}, "a\r\nb\r\nc\r\n"},
    // A replacement holding line feeds makes several new lines of one old one.
    {"split_one_line_into_three", {"foo", "1\n2\n3"}, "x\na foo b\ny\n"},
    {"replacement_keeps_line_and_adds_one", {"foo", "foo\nbar"}, "x\nfoo\ny\n"},
    {"every_feed_doubled", {"\n", "\n\n"}, "a\nb\nc\n"},
    {"join_then_split", {"1\n", "\nq\nz"}, "a1\nb\nc\n"},
    {"split_last_line_without_feed", {"o", "\n"}, "foo"},
    {"line_removed", {"del\n", ""}, "x\ndel\ny\n"},
    {"whole_file_removed", {"a\n", ""}, "a\n"},
    {"new_lines_repeat_old_ones", {"a", "b"}, "a\nb\na\nb\n", DiffU::MayDiffer},
    {"nothing_matches", {"absent", "x"}, kTwenty},
    {"same_text_as_replacement", {"line", "line"}, kTwenty},
    {"same_line_in_wholeline_mode", {"--wholeline", "line 3", "line 3"}, kTwenty},
    {"same_bytes_through_a_join", {"1\n", "1\n"}, "a1\nb\n"},
    {"empty_file", {"a", "b"}, ""},
    // Changes too large for one hunk: cut into hunks that patch applies one right after another.
    {"every_line_of_a_big_file", {"abc", "X"}, kMillion, DiffU::Cut},
    {"big_change_between_unchanged_lines", {"abc", "X"}, kTwenty + kMillion + kTwenty, DiffU::Cut},
    {"every_line_of_a_big_file_joined", {"c\n", ""}, kMillion, DiffU::Cut},
    {"big_file_joined_in_pairs", {"1\n", ""}, repeated("a1\nb\n", 500000), DiffU::Cut},
    {"every_feed_of_a_big_file_doubled", {"\n", "\n\n"}, kMillion, DiffU::Cut},
};

class DryRunTest : public ::testing::TestWithParam<Row> {};

TEST_P(DryRunTest, PatchMakesWhatTheRealRunMakes) {
    const Row& row = GetParam();
    std::vector<std::string> args{"--input=f"};
    args.insert(args.end(), row.args.begin(), row.args.end());

    TempDir real;
    write_file(real / "f", row.before);
    const RunResult edit = run_tool(args, in_folder(real.path()));
    ASSERT_EQ(edit.status, 0) << edit.err;
    const std::string after = read_file(real / "f");

    TempDir dir;
    write_file(dir / "f", row.before);
    const std::string untouched = folder_state(dir);
    args.insert(args.begin() + 1, "--dryrun");
    const RunResult dry = run_tool(args, in_folder(dir.path()));
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(folder_state(dir), untouched);

    if (after == row.before) {
        EXPECT_EQ(dry.out, "") << "no line changes: nothing is printed";
        return;
    }
    expect_patch_gives(row.before, dry.out, after);
    if (row.diff_u == DiffU::Same) {
        const std::size_t second = dry.out.find('\n', dry.out.find('\n') + 1);
        EXPECT_EQ(dry.out.substr(second + 1), diff_u_hunks(row.before, after));
    }
    if (row.diff_u == DiffU::Cut) {
        // Each hunk holds at most about kHunkBound bytes of lines, each line with its mark.
        const std::vector<std::size_t> lengths = hunk_lengths(dry.out);
        EXPECT_GE(lengths.size(), 2u);
        EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), 3 * kHunkBound);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DryRunTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --dryrun stands anywhere among the options, and any argument beginning with it selects it.
TEST(DryRun, OptionPlacesAndSpellings) {
    const std::vector<std::vector<std::string>> command_lines = {
        {"--dryrun", "--input=f", "a", "b"},
        {"--input=f", "--dryrun", "a", "b"},
        {"--input=f", "--dryrunXYZ", "a", "b"},
        {"--dryrun", "--dryrun", "--input=f", "a", "b"},
    };
    for (const auto& args : command_lines) {
        SCOPED_TRACE(::testing::PrintToString(args));
        TempDir dir;
        write_file(dir / "f", "a\n");
        const std::string untouched = folder_state(dir);
        const RunResult result = run_tool(args, in_folder(dir.path()));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "--- f\n+++ f\n@@ -1 +1 @@\n-a\n+b\n");
        EXPECT_EQ(folder_state(dir), untouched);
    }
    // After the first positional argument it is text, as every later argument is.
    TempDir dir;
    write_file(dir / "f", "a\n");
    const RunResult result = run_tool({"--input=f", "a", "--dryrun"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file(dir / "f"), "--dryrun\n");
}

// A path with bytes that would end the name early is quoted as GNU diff quotes it, so that
// `patch -p0`, which takes the name from the header, finds the file.
TEST(DryRun, QuotedNameFoundByPatch) {
    for (const std::string name : {"my notes.txt", "tab\there", "quote\"back\\slash", "\xc3\xa9"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        write_file(dir / name, "a\nb\n");
        const RunResult result =
            run_tool({"--dryrun", "--input=" + name, "b", "c"}, in_folder(dir.path()));
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string label = diff_label(name);
        EXPECT_EQ(result.out.rfind("--- " + label + "\n+++ " + label + "\n", 0), 0u);
        write_file(dir / "d", result.out);
        EXPECT_EQ(shell("cd '" + dir.path() + "' && patch -s -p0 < d"), 0);
        EXPECT_EQ(read_file(dir / name), "a\nc\n");
    }
}

TEST(DryRun, LabelTable) {
    const std::pair<std::string, std::string> rows[] = {
        {"f", "f"},
        {"dir/f.txt", "dir/f.txt"},
        {"/abs/a-b_c+d$e'f*g", "/abs/a-b_c+d$e'f*g"},
        {"a b", "\"a b\""},
        {"a\tb\nc\r", "\"a\\tb\\nc\\r\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\xc3\xa9", "\"\\303\\251\""},
        {std::string("\x01\x7f", 2), "\"\\001\\177\""},
        {"", ""},
    };
    for (const auto& [path, label] : rows) {
        EXPECT_EQ(diff_label(path), label) << path;
    }
}

// A dry run fails where a real run fails before its read loop, with the same message and
// status, and prints nothing.
TEST(DryRun, FailuresOfTheRealRun) {
    struct Case {
        const char* name;
        std::string input;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {"missing", "missing", 3, testing::stat_message("missing", ENOENT)},
        {"no_input", "", 3, testing::stat_message("", ENOENT)},
        {"directory", "d", 4, testing::not_regular_message("d")},
        {"device", "/dev/null", 4, testing::not_regular_message("/dev/null")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
        const std::string untouched = folder_state(dir);
        std::vector<std::string> args{"--dryrun", "a", "b"};
        if (!c.input.empty()) {
            args.insert(args.begin(), "--input=" + c.input);
        }
        const RunResult dry = run_tool(args, in_folder(dir.path()));
        EXPECT_EQ(dry.status, c.status);
        EXPECT_EQ(dry.err, c.err);
        EXPECT_EQ(dry.out, "");
        EXPECT_EQ(folder_state(dir), untouched);
        args.erase(std::find(args.begin(), args.end(), "--dryrun"));
        const RunResult real = run_tool(args, in_folder(dir.path()));
        EXPECT_EQ(real.status, dry.status);
        EXPECT_EQ(real.err, dry.err);
    }
}

// As an unprivileged user: an unreadable file or folder fails as in a real run, and a folder
// where no temporary file can be made is no obstacle, since a dry run makes none.
TEST(DryRun, PermissionsAsUnprivilegedUser) {
    const std::string setpriv = testing::find_program("setpriv");
    if (::geteuid() != 0 || setpriv.empty()) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as an unprivileged user";
    }
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string binary = dir / "linemorph";
    write_file(binary, read_file(testing::tool_path()), 0755);
    struct Case {
        const char* name;
        mode_t folder_mode;
        mode_t file_mode;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"folder_not_writable", 0555, 0444, 0, "--- w/f\n+++ w/f\n@@ -1 +1 @@\n-a\n+b\n", ""},
        {"file_not_readable", 0777, 0200, 4, "", testing::open_message("w/f", EACCES)},
        {"folder_not_searchable", 0700, 0644, 3, "", testing::stat_message("w/f", EACCES)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string work = dir / "w";
        ::chmod(work.c_str(), 0700);
        std::filesystem::remove_all(work);
        ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
        write_file(work + "/f", "a\n", c.file_mode);
        ASSERT_EQ(::chmod(work.c_str(), c.folder_mode), 0);
        const struct stat before = status_of(work);
        RunOptions options = in_folder(dir.path());
        options.prefix = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
        options.binary = binary;
        const RunResult result = run_tool({"--dryrun", "--input=w/f", "a", "b"}, options);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(read_file(work + "/f"), "a\n");
        const struct stat after = status_of(work);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_FALSE(std::filesystem::exists(work + "/f.tmp"));
    }
    ::chmod((dir / "w").c_str(), 0700);
}

// Whatever lies at the temporary path, even a file another run holds, is left alone.
TEST(DryRun, LeavesTheTemporaryPathAlone) {
    TempDir dir;
    write_file(dir / "f", "a\n");
    write_file(dir / "f.tmp", "another run's work", 0600);
    ASSERT_EQ(::symlink("f", (dir / "f.link").c_str()), 0);
    const int held = ::open((dir / "f.tmp").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const std::string untouched = folder_state(dir);
    const RunResult result = run_tool({"--input=f", "--dryrun", "a", "b"}, in_folder(dir.path()));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "--- f\n+++ f\n@@ -1 +1 @@\n-a\n+b\n");
    EXPECT_EQ(folder_state(dir), untouched);
    ::close(held);
}

// A diff that cannot be written is reported, with the status of a failed output; with nothing to
// write there is no failure.
TEST(DryRun, StandardOutputThatCannotBeWritten) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    TempDir dir;
    TempDir elsewhere;
    write_file(dir / "f", "a\n");
    const std::string untouched = folder_state(dir);
    const std::string run =
        "cd '" + dir.path() + "' && '" + testing::tool_path() + "' --input=f --dryrun ";
    const std::string err = elsewhere / "err";
    EXPECT_EQ(shell(run + "a b > /dev/full 2> '" + err + "'"), 6);
    EXPECT_EQ(read_file(err), testing::output_write_message(ENOSPC));
    EXPECT_EQ(shell(run + "x y > /dev/full 2> '" + err + "'"), 0);
    EXPECT_EQ(read_file(err), "");
    EXPECT_EQ(folder_state(dir), untouched);
}

// Memory holds a bounded part of a hunk, its context and the longest line, not the file: a file
// larger than the address space allowed is previewed, however much of it changes.
TEST(DryRun, MemoryDoesNotGrowWithTheFile) {
#ifdef LINEMORPH_ADDRESS_SANITIZER
    GTEST_SKIP() << "an address-space limit breaks AddressSanitizer's own reservations";
#endif
    std::string marked;
    const std::string line = "an ordinary line of text, long enough to fill the file\n";
    marked.reserve(96 << 20);
    for (int i = 0; marked.size() + line.size() < (96u << 20); ++i) {
        marked += i % 100000 == 50000 ? "a marked line\n" : line;
    }
    const std::string long_line = repeated("ab", 6 << 20) + "\n";
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> args;
        std::string begins;  // what the diff begins with, after its two header lines
        std::string ends;    // what it ends with
    };
    const Case cases[] = {
        {"few_lines_change",
         std::move(marked),
         {"marked", "new"},
         "@@ -49998,7 +49998,7 @@\n",
         " " + line},
        {"every_line_changes", repeated("abc\n", 6 << 20), {"abc", "X"}, "@@ -1,", "+X\n"},
        {"every_line_joins",
         repeated("abc\n", 6 << 20),
         {"c\n", ""},
         "@@ -1,",
         "abab\n\\ No newline at end of file\n"},
        {"one_long_line_changes",
         long_line,
         {"ab", "X"},
         "@@ -1 +1 @@\n-abab",
         "+X" + long_line.substr(2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "f", c.content);
        RunOptions options = in_folder(dir.path());
        options.memory_limit = 64 << 20;
        std::vector<std::string> args{"--input=f", "--dryrun"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult result = run_tool(args, options);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.rfind("--- f\n+++ f\n" + c.begins, 0), 0u)
            << result.out.substr(0, 200);
        EXPECT_GE(result.out.size(), c.ends.size());
        EXPECT_EQ(result.out.compare(result.out.size() - std::min(result.out.size(), c.ends.size()),
                                     std::string::npos, c.ends),
                  0);
    }
}

// A diff written into the input itself (`>> input`, or any other name of it) would be read back
// as input and grow the file without end: the dry run refuses before reading, as cat does, and
// the input stays as it was. A file-size limit stops a run that does not refuse.
TEST(DryRun, RefusesToWriteIntoItsInput) {
    struct Case {
        const char* redirect;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {">> f", 6, testing::output_is_input_message("f")},
        {">> link", 6, testing::output_is_input_message("f")},
        {"1<> f", 6, testing::output_is_input_message("f")},
        {">> other", 0, ""},
    };
    // Hunks far apart, each written out as it ends: the diff of what the run reads back is
    // longer again than what it has read.
    const std::string content = repeated("abc\nx\nx\nx\nx\nx\nx\nx\n", 20000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.redirect);
        TempDir dir;
        TempDir elsewhere;
        write_file(dir / "f", content);
        write_file(dir / "other", "");
        ASSERT_EQ(::link((dir / "f").c_str(), (dir / "link").c_str()), 0);
        const struct stat before = status_of(dir / "f");
        const std::string err = elsewhere / "err";
        EXPECT_EQ(shell("cd '" + dir.path() + "' && ulimit -f 20000 && '" + testing::tool_path() +
                        "' --input=f --dryrun abc X " + c.redirect + " 2> '" + err + "'"),
                  c.status);
        EXPECT_EQ(read_file(err), c.err);
        EXPECT_TRUE(read_file(dir / "f") == content);
        const struct stat after = status_of(dir / "f");
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
}

// Random files and edits, with line feeds and carriage returns in the lines, the search string
// and the replacement, through the diff at several block sizes (so lines straddle reads and the
// read buffer is reused under the sink) and hunk bounds (so hunks are cut anywhere): the diff must
// not depend on the block size, must be empty exactly when nothing changes (within the default
// bound), and patch must turn the file into the reference result.
TEST(DryRun, RandomEditsPatchExactly) {
    testing::RandomCases cases(20260601, {"ab\n\rx\n", 60, 3, 3, 1, "+-{}a", 1});
    TempDir dir;
    for (int round = 0; round < 400; ++round) {
        const auto [content, args, wholeline] = cases.next();
        const Rule rule =
            testing::make_rule(args, wholeline ? LineMode::WholeLine : LineMode::Partial);
        const std::string after = testing::reference_rewrite_file(content, args, wholeline);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + ::testing::PrintToString(content) +
                     " " + ::testing::PrintToString(args) + (wholeline ? " wholeline" : ""));

        write_file(dir / "in", content);
        std::set<std::string> checked;
        for (const std::size_t bound : {std::size_t{1}, std::size_t{9}, kHunkBound}) {
            SCOPED_TRACE("hunk bound " + std::to_string(bound));
            std::vector<std::string> diffs;
            for (const std::size_t block : {std::size_t{1}, std::size_t{7}, kDefaultBlockSize}) {
                const int in = ::open((dir / "in").c_str(), O_RDONLY);
                const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ASSERT_GE(in, 0);
                ASSERT_GE(out, 0);
                EXPECT_FALSE(preview_stream(in, out, "f", rule, block, bound));
                ::close(in);
                ::close(out);
                diffs.push_back(read_file(dir / "out"));
            }
            EXPECT_EQ(diffs[0], diffs[2]);
            EXPECT_EQ(diffs[1], diffs[2]);
            // Within the bound a diff is empty exactly when nothing changes. A stretch cut at a
            // smaller bound may show lines that end up the same (a search string replaced by
            // itself on a last line without a line feed): still exact, so patch must apply it.
            if (after == content && bound == kHunkBound) {
                EXPECT_EQ(diffs[2], "");
            } else if (!diffs[2].empty() && checked.insert(diffs[2]).second) {
                expect_patch_gives(content, diffs[2], after);
            }
        }
    }
}

}  // namespace
}  // namespace linemorph
