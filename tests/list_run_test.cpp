// Runs over file lists (--files0-from=, --files-from=) through the built tool: each row in a fresh
// folder tree, checking every file's bytes, inode and mtime afterwards, what is left at temporary
// paths, standard output, standard error and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "messages.h"
#include "random_cases.h"
#include "support.h"

namespace linemorph {
namespace {

using testing::RunOptions;
using testing::RunResult;
using testing::TempDir;

// What a tree holds at one moment: for each path under its root, its type and identity, and its
// bytes (a link's target for a link).
struct Node {
    mode_t mode = 0;
    ino_t inode = 0;
    struct timespec mtime {};
    nlink_t links = 0;
    std::string bytes;
};
using Tree = std::map<std::string, Node>;

Tree snapshot(const std::string& root) {
    Tree tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        const struct stat status = testing::status_of(path);
        Node node{status.st_mode, status.st_ino, status.st_mtim, status.st_nlink, {}};
        if (S_ISREG(status.st_mode) && (status.st_mode & 0444) != 0) {
            node.bytes = testing::read_file(path);
        } else if (S_ISLNK(status.st_mode)) {
            node.bytes = std::filesystem::read_symlink(entry.path()).string();
        }
        tree[path.substr(root.size() + 1)] = node;
    }
    return tree;
}

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Checks that `after` is `before` with exactly the files in `changed` replaced by new files
// holding the given bytes, with the old type and permission bits; every other path is untouched
// (bytes, inode, mtime) and no other path appeared (no temporary file left).
void expect_tree(const Tree& before, const Tree& after,
                 const std::map<std::string, std::string>& changed) {
    std::set<std::string> names_before;
    std::set<std::string> names_after;
    for (const auto& [path, node] : before) {
        names_before.insert(path);
    }
    for (const auto& [path, node] : after) {
        names_after.insert(path);
    }
    EXPECT_EQ(names_after, names_before) << "paths appeared or went away";
    for (const auto& [path, old] : before) {
        const auto found = after.find(path);
        if (found == after.end()) {
            continue;
        }
        const Node& now = found->second;
        const auto change = changed.find(path);
        if (change == changed.end()) {
            EXPECT_EQ(now.bytes, old.bytes) << path;
            EXPECT_EQ(now.inode, old.inode) << path << " was replaced";
            // A folder's mtime moves when a file in it is replaced, and only then.
            const bool holds_change =
                S_ISDIR(old.mode) &&
                std::any_of(changed.begin(), changed.end(), [folder = path](const auto& one) {
                    return one.first.rfind(folder + "/", 0) == 0 &&
                           one.first.find('/', folder.size() + 1) == std::string::npos;
                });
            if (!holds_change) {
                EXPECT_TRUE(same_time(now.mtime, old.mtime)) << path << " got a new mtime";
            }
        } else {
            EXPECT_EQ(now.bytes, change->second) << path;
            EXPECT_NE(now.inode, old.inode) << path << " was not replaced";
            EXPECT_EQ(now.mode, old.mode) << path;
        }
    }
    for (const auto& [path, bytes] : changed) {
        EXPECT_EQ(before.count(path), 1U) << "no such path in the tree: " << path;
    }
}

// A fresh folder tree for one row: files by relative path (folders made as needed).
class Workspace {
  public:
    Workspace() {
        ::chmod(dir_.path().c_str(), 0755);
        ::chmod(lists_.path().c_str(), 0755);  // readable by an unprivileged run too
    }

    const std::string& root() const { return dir_.path(); }
    std::string operator/(const std::string& name) const { return dir_ / name; }

    void add(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
        std::filesystem::create_directories(std::filesystem::path(dir_ / path).parent_path());
        testing::write_file(dir_ / path, bytes, mode);
    }

    // Writes the list into a file outside the tree; gives its path.
    std::string write_list(const std::string& bytes) {
        testing::write_file(lists_ / "list", bytes);
        return lists_ / "list";
    }

    RunResult run(const std::vector<std::string>& args, RunOptions options = {}) const {
        options.cwd = root();
        return testing::run_tool(args, options);
    }

  private:
    TempDir dir_;
    TempDir lists_;
};

std::string nul_list(const std::vector<std::string>& paths) {
    std::string list;
    for (const auto& path : paths) {
        list += path;
        list += '\0';
    }
    return list;
}

// ---------------------------------------------------------------------------------------------
// The table of list runs.

enum class Form { Nul, Lines, NulOnStandardInput };

struct ListRow {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // path, bytes
    std::function<void(Workspace&)> setup;                   // more: links, folders, FIFOs
    Form form;
    std::string list;
    std::vector<std::string> args;  // after the list option
    int status;
    std::string err;
    std::map<std::string, std::string> changed;  // path -> its new bytes
};

std::vector<ListRow> list_rows() {
    const std::string non_utf8 = "\xff\xfe name";
    const std::vector<std::string> edit{"OLD", "NEW", "-#define"};
    return {
        {"NulNamesWithSpacesNewlinesAndNonUtf8",
         {{"a b", "x OLD\n"}, {"new\nline", "OLD OLD\n"}, {non_utf8, "OLD\n"}, {"same", "kept\n"}},
         {},
         Form::Nul,
         nul_list({"a b", "new\nline", non_utf8, "same"}),
         edit,
         0,
         "",
         {{"a b", "x NEW\n"}, {"new\nline", "NEW OLD\n"}, {non_utf8, "NEW\n"}}},
        {"LinesWithSpacesAndNonUtf8",
         {{"a b", "OLD\n"}, {non_utf8, "OLD\n"}, {"d/deep", "#define OLD\nOLD\n"}},
         {},
         Form::Lines,
         "a b\n" + non_utf8 + "\nd/deep",
         edit,
         0,
         "",
         {{"a b", "NEW\n"}, {non_utf8, "NEW\n"}, {"d/deep", "#define OLD\nNEW\n"}}},
        {"StandardInput",
         {{"a", "OLD\n"}},
         {},
         Form::NulOnStandardInput,
         nul_list({"a"}),
         edit,
         0,
         "",
         {{"a", "NEW\n"}}},
        {"UnchangedFilesOnlyRead",
         {{"a", "nothing here\n"}, {"b", "#define OLD\n"}},
         {},
         Form::Nul,
         nul_list({"a", "b"}),
         edit,
         0,
         "",
         {}},
        {"EmptyList", {{"a", "OLD\n"}}, {}, Form::Nul, "", edit, 0, "", {}},
        {"OneEntryReachedBySeveralSpellings",
         {{"a", "OLD\n"}, {"d/b", "OLD\n"}},
         {},
         Form::Nul,
         nul_list({"a", "./a", "d/../a", "a", "d/b", "d//b", "./d/./b"}),
         edit,
         0,
         "",
         {{"a", "NEW\n"}, {"d/b", "NEW\n"}}},
        {"HardLinksEachEdited",
         {{"a", "OLD\n"}},
         [](Workspace& w) { ASSERT_EQ(::link((w / "a").c_str(), (w / "b").c_str()), 0); },
         Form::Nul,
         nul_list({"a", "b"}),
         edit,
         0,
         "",
         {{"a", "NEW\n"}, {"b", "NEW\n"}}},
        {"LinkWhoseFileChanges",
         {{"a", "OLD\n"}, {"c", "OLD\n"}},
         [](Workspace& w) { ASSERT_EQ(::symlink("a", (w / "l").c_str()), 0); },
         Form::Nul,
         nul_list({"c", "l"}),
         edit,
         4,
         testing::link_in_list_message("l"),
         {}},
        {"LinkWhoseFileStays",
         {{"a", "kept\n"}, {"c", "OLD\n"}},
         [](Workspace& w) { ASSERT_EQ(::symlink("a", (w / "l").c_str()), 0); },
         Form::Nul,
         nul_list({"l", "c"}),
         edit,
         0,
         "",
         {{"c", "NEW\n"}}},
        {"LinkFollowed",
         {{"d/a", "OLD\n"}, {"c", "OLD\n"}},
         [](Workspace& w) { ASSERT_EQ(::symlink("d/a", (w / "l").c_str()), 0); },
         Form::Nul,
         nul_list({"l", "c"}),
         {"--follow-symlinks", "OLD", "NEW"},
         0,
         "",
         {{"d/a", "NEW\n"}, {"c", "NEW\n"}}},
        {"LinksToOneFileFollowedEditItOnce",
         {{"a", "OLD\n"}},
         [](Workspace& w) {
             ASSERT_EQ(::symlink("a", (w / "l").c_str()), 0);
             ASSERT_EQ(::symlink((w / "l").c_str(), (w / "m").c_str()), 0);
         },
         Form::Nul,
         nul_list({"l", "a", "m", "./l"}),
         {"--follow-symlinks", "OLD", "NEW"},
         0,
         "",
         {{"a", "NEW\n"}}},
        {"DanglingLinkFollowed",
         {{"a", "OLD\n"}},
         [](Workspace& w) { ASSERT_EQ(::symlink("gone", (w / "l").c_str()), 0); },
         Form::Nul,
         nul_list({"a", "l"}),
         {"--follow-symlinks", "OLD", "NEW"},
         3,
         testing::stat_message("l", ENOENT),
         {}},
        {"MissingInTheMiddle",
         {{"a", "OLD\n"}, {"c", "OLD\n"}},
         {},
         Form::Nul,
         nul_list({"a", "missing", "c"}),
         edit,
         3,
         testing::stat_message("missing", ENOENT),
         {}},
        {"EmptyEntry",
         {{"a", "OLD\n"}, {"c", "OLD\n"}},
         {},
         Form::Nul,
         std::string("a\0\0c\0", 5),
         edit,
         3,
         testing::stat_message("", ENOENT),
         {}},
        {"FolderInTheMiddle",
         {{"a", "OLD\n"}, {"d/x", "OLD\n"}, {"c", "OLD\n"}},
         {},
         Form::Nul,
         nul_list({"a", "d", "c"}),
         edit,
         4,
         testing::not_regular_message("d"),
         {}},
        {"FifoInTheMiddle",
         {{"a", "OLD\n"}, {"c", "OLD\n"}},
         [](Workspace& w) { ASSERT_EQ(::mkfifo((w / "p").c_str(), 0644), 0); },
         Form::Nul,
         nul_list({"a", "p", "c"}),
         edit,
         4,
         testing::not_regular_message("p"),
         {}},
        {"EmptyEntryIsNoSpellingOfTheFolder",
         {{"a", "OLD\n"}},
         {},
         Form::Nul,
         std::string("\0./\0", 4),
         edit,
         3,
         testing::stat_message("", ENOENT) + testing::not_regular_message("./"),
         {}},
        {"EveryFailureReportedInListOrder",
         {{"a", "OLD\n"}, {"d/x", "OLD\n"}},
         {},
         Form::Nul,
         nul_list({"d", "a", "gone", "d/"}),
         edit,
         4,
         testing::not_regular_message("d") + testing::stat_message("gone", ENOENT) +
             testing::not_regular_message("d/"),
         {}},
    };
}

class ListTable : public ::testing::TestWithParam<std::string> {};

TEST_P(ListTable, Rows) {
    for (const ListRow& row : list_rows()) {
        SCOPED_TRACE(row.name);
        Workspace work;
        for (const auto& [path, bytes] : row.files) {
            work.add(path, bytes);
        }
        if (row.setup) {
            row.setup(work);
        }
        const std::string list = work.write_list(row.list);
        std::vector<std::string> args{GetParam()};
        RunOptions options;
        switch (row.form) {
            case Form::Nul:
                args.push_back("--files0-from=" + list);
                break;
            case Form::Lines:
                args.push_back("--files-from=" + list);
                break;
            case Form::NulOnStandardInput:
                args.push_back("--files0-from=-");
                options.stdin_path = list;
                break;
        }
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Tree before = snapshot(work.root());
        const RunResult result = work.run(args, options);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.err, row.err);
        EXPECT_EQ(result.out, "");
        expect_tree(before, snapshot(work.root()), row.changed);
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, ListTable, ::testing::Values("--jobs=1", "--jobs=7"),
                         [](const auto& info) {
                             return info.param == "--jobs=1" ? "One" : "Many";
                         });

// ---------------------------------------------------------------------------------------------
// The command line and the list itself.

TEST(ListCommandLine, TurnedAwayWithTheUsageText) {
    struct Row {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Row> rows = {
        {{"--files0-from=l", "--input=a", "x", "y"}, testing::kListAndInputMessage},
        {{"--input=", "--files-from=l", "x", "y"}, testing::kListAndInputMessage},
        {{"--files0-from=l", "--files-from=l", "x", "y"}, testing::kTwoListsMessage},
        {{"--jobs=0", "--files0-from=l", "x", "y"}, testing::kBadJobsMessage},
        {{"--jobs=", "--files0-from=l", "x", "y"}, testing::kBadJobsMessage},
        {{"--jobs=1025", "--files0-from=l", "x", "y"}, testing::kBadJobsMessage},
        {{"--jobs=-2", "--files0-from=l", "x", "y"}, testing::kBadJobsMessage},
        {{"--jobs", "--files0-from=l", "x", "y"}, ""},
        {{"--files0-from=l", "", "y"}, testing::kEmptySearchMessage},
    };
    Workspace work;
    work.add("a", "x\n");
    for (const Row& row : rows) {
        const RunResult result = work.run(row.args);
        EXPECT_EQ(result.status, 1) << row.args[0];
        EXPECT_EQ(result.out.substr(0, 11), "linemorph -") << row.args[0];
        EXPECT_EQ(result.err, row.err) << row.args[0];
        EXPECT_EQ(testing::read_file(work / "a"), "x\n");
    }
}

TEST(ListCommandLine, ListThatCannotBeRead) {
    Workspace work;
    work.add("a", "OLD\n");
    ASSERT_EQ(::mkdir((work / "folder").c_str(), 0755), 0);
    const Tree before = snapshot(work.root());
    struct Row {
        std::vector<std::string> args;
        RunOptions options;
        std::string err;
    };
    RunOptions closed_input;
    closed_input.closed_descriptors = {0};
    const std::vector<Row> rows = {
        {{"--files0-from=nolist", "OLD", "NEW"}, {}, testing::list_read_message("nolist", ENOENT)},
        {{"--files-from=folder", "OLD", "NEW"}, {}, testing::list_read_message("folder", EISDIR)},
        {{"--files0-from=-", "OLD", "NEW"},
         closed_input,
         testing::list_read_message("standard input", EBADF)},
    };
    for (const Row& row : rows) {
        const RunResult result = work.run(row.args, row.options);
        EXPECT_EQ(result.status, 4) << row.args[0];
        EXPECT_EQ(result.err, row.err);
        expect_tree(before, snapshot(work.root()), {});
    }
}

// ---------------------------------------------------------------------------------------------
// Real faults in the middle of a list: the whole tree stays as it was.

TEST(ListFaults, UnreadableAsNobody) {
    const std::string setpriv = testing::find_program("setpriv");
    if (!testing::is_root() || setpriv.empty()) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as an unprivileged user";
    }
    Workspace work;
    ::chmod(work.root().c_str(), 0777);
    work.add("a", "OLD\n", 0666);
    work.add("b", "OLD\n", 0600);
    work.add("c", "OLD\n", 0666);
    const Tree before = snapshot(work.root());
    RunOptions options;
    options.prefix = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
    const RunResult result = work.run(
        {"--files0-from=" + work.write_list(nul_list({"a", "b", "c"})), "OLD", "NEW"}, options);
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, testing::open_message("b", EACCES) + "\n");
    expect_tree(before, snapshot(work.root()), {});
}

TEST(ListFaults, FullDisk) {
    if (!testing::is_root()) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    Workspace work;
    const std::string small = work / "small";
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    if (testing::shell("mount -t tmpfs -o size=256k tmpfs '" + small + "' 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    work.add("small/a", "OLD\n");
    work.add("small/big", "OLD\n" + std::string(150 * 1024, 'x') + "\n");
    work.add("small/c", "OLD\n");
    const Tree before = snapshot(small);
    const RunResult result = testing::run_tool(
        {"--files0-from=" + work.write_list(nul_list({"a", "big", "c"})), "OLD", "NEW"},
        testing::in_folder(small));
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, testing::write_message("big.tmp", ENOSPC));
    expect_tree(before, snapshot(small), {});
    EXPECT_EQ(testing::shell("umount '" + small + "'"), 0);
}

// A rename that fails in the middle of the commit (onto a mount point) puts back every file
// already replaced: the same inode, the same bytes.
TEST(ListFaults, RenameFailsAfterOthersSucceeded) {
    if (!testing::is_root()) {
        GTEST_SKIP() << "needs root to bind-mount a file";
    }
    Workspace work;
    work.add("a", "OLD a\n");
    work.add("b", "OLD b\n");
    work.add("c", "OLD c\n");
    work.add("d/other", "OLD other\n");
    if (testing::shell("mount --bind '" + (work / "d/other") + "' '" + (work / "b") +
                       "' 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot bind-mount here";
    }
    const Tree before = snapshot(work.root());
    const RunResult result =
        work.run({"--files0-from=" + work.write_list(nul_list({"a", "b", "c"})), "OLD", "NEW"});
    EXPECT_EQ(testing::shell("umount '" + (work / "b") + "'"), 0);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, testing::rename_message("b.tmp", "b", EBUSY));
    Tree after = snapshot(work.root());
    Tree expected = before;
    expected.erase("b");  // seen through the mount before, the file under it now
    after.erase("b");
    expect_tree(expected, after, {});
}

// Even the hard limit on descriptors cannot hold every changed file's two: the run stops with
// the usual message of the first file that cannot be opened, and changes nothing.
TEST(ListFaults, TooFewDescriptors) {
    const std::string prlimit = testing::find_program("prlimit");
    if (prlimit.empty()) {
        GTEST_SKIP() << "needs prlimit to set a low descriptor limit";
    }
    Workspace work;
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) {
        names.push_back("f" + std::to_string(i));
        work.add(names.back(), "OLD\n");
    }
    const Tree before = snapshot(work.root());
    RunOptions options;
    options.prefix = {prlimit, "--nofile=16:16"};
    const RunResult result = work.run(
        {"--jobs=1", "--files0-from=" + work.write_list(nul_list(names)), "OLD", "NEW"}, options);
    // Which call runs out first depends on how many descriptors the process holds besides.
    EXPECT_TRUE(result.status == 4 || result.status == 6) << result.status;
    EXPECT_NE(result.err.find(" (" + testing::system_text(EMFILE) + ")\n"), std::string::npos)
        << result.err;
    expect_tree(before, snapshot(work.root()), {});
    // With the soft limit low and the hard one high enough, the run raises it and succeeds.
    options.prefix = {prlimit, "--nofile=16:4096"};
    const RunResult raised = work.run(
        {"--jobs=1", "--files0-from=" + work.write_list(nul_list(names)), "OLD", "NEW"}, options);
    EXPECT_EQ(raised.status, 0) << raised.err;
    std::map<std::string, std::string> changed;
    for (const auto& name : names) {
        changed[name] = "NEW\n";
    }
    expect_tree(before, snapshot(work.root()), changed);
}

// ---------------------------------------------------------------------------------------------
// The dry run over a list, applied with patch -p0 from the same folder, gives the real run's tree.

TEST(ListDryRun, PatchGivesTheRealRunsResult) {
    if (testing::find_program("patch").empty()) {
        GTEST_SKIP() << "needs GNU patch";
    }
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a b", "1\nOLD\n3\n"}, {"d/c", "#define OLD\nOLD OLD\n"}, {"same", "nothing\n"},
        {"tail", "x\nOLD"},     {"e/f", "OLD\nOLD\nOLD\n"},        {"quote\"d", "OLD\n"},
    };
    const std::string list = nul_list({"a b", "d/c", "same", "./a b", "tail", "e/f", "quote\"d"});
    Workspace real;
    Workspace dry;
    for (const auto& [path, bytes] : files) {
        real.add(path, bytes);
        dry.add(path, bytes);
    }
    const std::vector<std::string> edit{"OLD", "NEW", "-#define"};
    std::vector<std::string> args{"--dryrun", "--files0-from=" + dry.write_list(list)};
    args.insert(args.end(), edit.begin(), edit.end());
    const Tree dry_before = snapshot(dry.root());
    const RunResult shown = dry.run(args);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.err, "");
    expect_tree(dry_before, snapshot(dry.root()), {});  // nothing written

    args = {"--files0-from=" + real.write_list(list)};
    args.insert(args.end(), edit.begin(), edit.end());
    ASSERT_EQ(real.run(args).status, 0);

    testing::write_file(dry / "../change.diff", shown.out);
    ASSERT_EQ(testing::shell("cd '" + dry.root() + "' && patch -s -p0 < ../change.diff"), 0);
    const Tree patched = snapshot(dry.root());
    const Tree edited = snapshot(real.root());
    ASSERT_EQ(patched.size(), edited.size());
    for (const auto& [path, node] : edited) {
        EXPECT_EQ(patched.at(path).bytes, node.bytes) << path;
    }
}

TEST(ListDryRun, FollowedLinksNamedAsListed) {
    Workspace work;
    work.add("a", "OLD\n");
    ASSERT_EQ(::symlink("a", (work / "l").c_str()), 0);
    const Tree before = snapshot(work.root());
    const RunResult result =
        work.run({"--dryrun", "--follow-symlinks",
                  "--files0-from=" + work.write_list(nul_list({"l", "a"})), "OLD", "NEW"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "--- l\n+++ l\n@@ -1 +1 @@\n-OLD\n+NEW\n");
    expect_tree(before, snapshot(work.root()), {});
}

TEST(ListDryRun, ReportsWhatTheRealRunWould) {
    Workspace work;
    work.add("a", "OLD\n");
    work.add("c", "OLD\n");
    ASSERT_EQ(::symlink("c", (work / "l").c_str()), 0);
    const Tree before = snapshot(work.root());
    const RunResult result =
        work.run({"--dryrun", "--files0-from=" + work.write_list(nul_list({"a", "gone", "l"})),
                  "OLD", "NEW"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err,
              testing::stat_message("gone", ENOENT) + testing::link_in_list_message("l"));
    EXPECT_EQ(result.out, "--- a\n+++ a\n@@ -1 +1 @@\n-OLD\n+NEW\n");
    expect_tree(before, snapshot(work.root()), {});
}

// ---------------------------------------------------------------------------------------------
// A list run gives each file exactly what a one-file run gives it.

TEST(ListRandom, SameAsOneFileRuns) {
    testing::RandomCases cases(20261211, {"ab\n", 60, 2, 3, 2, "+-{}", 2});
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const testing::RandomCase first = cases.next();
        Workspace listed;
        Workspace single;
        std::vector<std::string> names;
        for (int i = 0; i < 8; ++i) {
            const std::string content = i == 0 ? first.content : cases.next().content;
            names.push_back("f" + std::to_string(i));
            listed.add(names.back(), content);
            single.add(names.back(), content);
        }
        std::vector<std::string> rule;
        if (first.wholeline) {
            rule.push_back("--wholeline");
        }
        rule.insert(rule.end(), first.args.begin(), first.args.end());
        std::vector<std::string> args{"--jobs=3",
                                      "--files0-from=" + listed.write_list(nul_list(names))};
        args.insert(args.end(), rule.begin(), rule.end());
        const Tree before = snapshot(listed.root());
        const RunResult result = listed.run(args);
        ASSERT_EQ(result.status, 0) << result.err;
        std::map<std::string, std::string> changed;
        for (const auto& name : names) {
            std::vector<std::string> one{"--input=" + name};
            one.insert(one.end(), rule.begin(), rule.end());
            ASSERT_EQ(single.run(one).status, 0);
            const std::string bytes = testing::read_file(single / name);
            if (bytes != before.at(name).bytes) {
                changed[name] = bytes;
            }
        }
        expect_tree(before, snapshot(listed.root()), changed);
    }
}

}  // namespace
}  // namespace linemorph

// ---------------------------------------------------------------------------------------------
// Faults injected by strace into one file's calls in the middle of a list, kills during the
// commit, and a signal while the files are being prepared.

namespace linemorph {
namespace {

// Three files that all change, listed by absolute path, so that strace's path filter sees every
// call on them, by name or by descriptor.
struct Traced3 {
    Workspace work;
    std::vector<std::string> names{"a", "b", "c"};
    Tree before;
    std::string list;

    Traced3() {
        for (const auto& name : names) {
            work.add(name, "OLD " + name + "\n");
        }
        before = snapshot(work.root());
        std::vector<std::string> paths;
        for (const auto& name : names) {
            paths.push_back(work / name);
        }
        list = work.write_list(nul_list(paths));
    }

    // Runs the edit under strace with `filter` (paths whose calls count, "." for the folder) and
    // `options` (-e ...).
    RunResult run(const std::string& strace, const std::vector<std::string>& filter,
                  const std::vector<std::string>& options, const std::string& jobs = "--jobs=1") {
        TempDir logs;
        RunOptions run;
        run.cwd = logs.path();
        run.prefix = {strace, "-f", "-y", "-o", logs / "strace.log"};
        for (const auto& path : filter) {
            run.prefix.push_back("-P");
            run.prefix.push_back(path == "." ? work.root() : work / path);
        }
        for (const auto& option : options) {
            run.prefix.push_back("-e");
            run.prefix.push_back(option);
        }
        return testing::run_tool({jobs, "--files0-from=" + list, "OLD", "NEW"}, run);
    }

    std::map<std::string, std::string> all_new() const {
        std::map<std::string, std::string> changed;
        for (const auto& name : names) {
            changed[name] = "NEW " + name + "\n";
        }
        return changed;
    }
};

TEST(ListInjected, OneFileFailsNothingChanges) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to inject faults";
    }
    struct Row {
        const char* name;
        std::vector<std::string> filter;
        std::vector<std::string> injections;
        int status;
        std::function<std::string(const Workspace&)> err;
    };
    const std::vector<Row> rows = {
        {"read",
         {"b"},
         {"inject=read:error=EIO:when=1"},
         4,
         [](const Workspace& w) { return testing::read_message(w / "b", EIO); }},
        {"write",
         {"b.tmp"},
         {"inject=writev:error=ENOSPC:when=1"},
         6,
         [](const Workspace& w) { return testing::write_message(w / "b.tmp", ENOSPC); }},
        {"mode",
         {"b.tmp"},
         {"inject=fchmod:error=EPERM:when=1"},
         5,
         [](const Workspace&) { return testing::mode_message(EPERM); }},
        // The file system's sync goes through its listed folder, opened before any file is
        // written.
        {"file system sync",
         {"."},
         {"inject=syncfs:error=EIO:when=1"},
         6,
         [](const Workspace& w) { return testing::write_message(w / "a.tmp", EIO); }},
        {"file system sync, then the file's own",
         {".", "b.tmp"},
         {"inject=syncfs:error=EIO:when=1", "inject=fsync:error=EIO:when=1"},
         6,
         [](const Workspace& w) { return testing::write_message(w / "b.tmp", EIO); }},
        {"rename",
         {"b.tmp"},
         {"inject=renameat2:error=EXDEV:when=1"},
         2,
         [](const Workspace& w) { return testing::rename_message(w / "b.tmp", w / "b", EXDEV); }},
    };
    for (const Row& row : rows) {
        for (const std::string jobs : {"--jobs=1", "--jobs=3"}) {
            SCOPED_TRACE(std::string(row.name) + " " + jobs);
            Traced3 traced;
            const RunResult result = traced.run(strace, row.filter, row.injections, jobs);
            EXPECT_EQ(result.status, row.status);
            EXPECT_EQ(result.err, row.err(traced.work));
            expect_tree(traced.before, snapshot(traced.work.root()), {});
        }
    }
}

// SIGKILL at each rename and each removal of the commit: every file is whole, old or new, what is
// left at a temporary path is whole too (the new file not yet renamed, or the old one an exchange
// put there), and the next run edits the rest.
TEST(ListInjected, KillSweepOverTheCommit) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to kill the run at a call";
    }
    int killed = 0;
    for (const std::string call : {"renameat2", "unlink"}) {
        for (int when = 1; when <= 3; ++when) {
            SCOPED_TRACE(call + " #" + std::to_string(when));
            Traced3 traced;
            const RunResult result = traced.run(
                strace, {}, {"inject=" + call + ":signal=KILL:when=" + std::to_string(when)});
            killed += result.signal == SIGKILL;
            const Tree after = snapshot(traced.work.root());
            for (const auto& name : traced.names) {
                const std::string& bytes = after.at(name).bytes;
                EXPECT_TRUE(bytes == "OLD " + name + "\n" || bytes == "NEW " + name + "\n")
                    << name << ": " << bytes;
                // A prepared file not yet renamed, or the old file an exchange put there.
                const auto left = after.find(name + ".tmp");
                if (left != after.end()) {
                    EXPECT_NE(left->second.bytes, bytes) << name;
                    EXPECT_TRUE(left->second.bytes == "OLD " + name + "\n" ||
                                left->second.bytes == "NEW " + name + "\n")
                        << name << ".tmp: " << left->second.bytes;
                }
            }
            const RunResult next = traced.work.run({"--files0-from=" + traced.list, "OLD", "NEW"});
            EXPECT_EQ(next.status, 0) << next.err;
            for (const auto& name : traced.names) {
                EXPECT_EQ(testing::read_file(traced.work / name), "NEW " + name + "\n");
            }
        }
    }
    EXPECT_GT(killed, 0);
}

// A signal that ends the run while files are being prepared removes every temporary file,
// whichever thread takes it.
TEST(ListInjected, SignalWhilePreparing) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to deliver a signal at a call";
    }
    // strace counts calls thread by thread: with three threads, each prepares one file.
    for (const std::string jobs : {"--jobs=1", "--jobs=3"}) {
        for (int when = 1; when <= (jobs == "--jobs=1" ? 3 : 1); ++when) {
            SCOPED_TRACE(jobs + " fchmod #" + std::to_string(when));
            Traced3 traced;
            const RunResult result = traced.run(
                strace, {}, {"inject=fchmod:signal=TERM:when=" + std::to_string(when)}, jobs);
            EXPECT_EQ(result.status, 128 + SIGTERM) << result.err;
            expect_tree(traced.before, snapshot(traced.work.root()), {});
        }
    }
}

// A signal that ends the run while it undoes its work still leaves no temporary file behind: one
// that comes as a failed file's temporary file is being removed (the removal fails, as if the
// signal had come just before it), or once a failed commit has put the replaced files back, their
// new content again at the temporary paths.
TEST(ListInjected, SignalWhileUndoing) {
    const std::string strace = testing::usable_strace();
    if (strace.empty()) {
        GTEST_SKIP() << "needs strace, allowed to trace (ptrace), to deliver a signal at a call";
    }
    struct Row {
        const char* name;
        std::vector<std::string> filter;
        std::vector<std::string> injections;
    };
    const std::vector<Row> rows = {
        {"removing a failed file's temporary file",
         {"b.tmp"},
         {"inject=fchmod:error=EPERM:when=1", "inject=unlink:error=EIO:signal=TERM:when=1"}},
        // Only a.tmp and c.tmp count: a is put in place, c's rename fails, a is put back, and
        // the signal comes at the sync that follows.
        {"after the replaced files are put back",
         {"a.tmp", "c.tmp"},
         {"inject=renameat2:error=EXDEV:when=2", "inject=syncfs:signal=TERM:when=1"}},
    };
    for (const Row& row : rows) {
        for (const std::string jobs : {"--jobs=1", "--jobs=3"}) {
            SCOPED_TRACE(std::string(row.name) + " " + jobs);
            Traced3 traced;
            const RunResult result = traced.run(strace, row.filter, row.injections, jobs);
            EXPECT_EQ(result.status, 128 + SIGTERM) << result.err;
            expect_tree(traced.before, snapshot(traced.work.root()), {});
        }
    }
}

}  // namespace
}  // namespace linemorph
