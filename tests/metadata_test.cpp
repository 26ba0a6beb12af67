// What an edit keeps besides the content, through the built tool: the owner, the mode, the access
// ACL and the extended attributes, and with --follow-symlinks the links that lead to the file. No
// edit may change who can read or write a file, at any moment of the run. Each case is compared
// with what GNU sed -i (and sed -i --follow-symlinks) leaves on the same file: linemorph keeps at
// least that. ACLs and attributes are read with getfacl and getfattr, never with the tool's own
// code. A case this machine cannot run (no ACLs or user.* attributes on the file system under the
// temporary folder, not root, no setpriv or strace) skips itself and says why.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "file_metadata.h"
#include "support.h"

namespace linemorph {
namespace {

using testing::calls_in;
using testing::in_folder;
using testing::read_file;
using testing::run_tool;
using testing::RunOptions;
using testing::RunResult;
using testing::shell;
using testing::shell_output;
using testing::status_of;
using testing::StraceCall;
using testing::TempDir;
using testing::write_file;

const std::string kOld = "one OLD\ntwo\nthree OLD OLD\n";
const std::string kNew = "one NEW\ntwo\nthree NEW OLD\n";
const std::vector<std::string> kEdit = {"--input=f", "OLD", "NEW"};

bool is_root() {
    return ::geteuid() == 0;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

std::string system_text(int error) {
    return std::strerror(error);
}

// Gives the access ACL of `path` as getfacl writes it: numeric ids, no header.
std::string acl_of(const std::string& path) {
    return shell_output("getfacl --omit-header --numeric --absolute-names " + quoted(path) +
                        " 2>/dev/null");
}

// Gives every extended attribute of `path` this process may read, values in hex, one a line.
std::string attributes_of(const std::string& path) {
    return shell_output("getfattr --dump --match=- --encoding=hex --absolute-names " +
                        quoted(path) + " 2>/dev/null | grep -v '^# file:'");
}

std::set<std::string> lines_of(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.insert(line);
        }
    }
    return lines;
}

// Expects every line of `kept_by_sed` that was also in `before` to be in `after`: linemorph
// keeps at least what sed keeps.
void expect_at_least_what_sed_keeps(const std::string& what, const std::string& before,
                                    const std::string& by_sed, const std::string& after) {
    const std::set<std::string> old_lines = lines_of(before);
    const std::set<std::string> ours = lines_of(after);
    for (const std::string& line : lines_of(by_sed)) {
        if (old_lines.count(line) != 0) {
            EXPECT_EQ(ours.count(line), 1u)
                << what << ": sed keeps \"" << line << "\", linemorph not";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Who may read and write a file, tried for real by processes of other users.

struct Probe {
    const char* who;
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

// Users the cases name in their ACLs, and one they never name.
const Probe kProbes[] = {
    {"nobody", 65534, 65534, {}},
    {"user 1234", 1234, 1234, {}},
    {"a member of group 4321", 5555, 5555, {4321}},
    {"anyone else", 6666, 6666, {}},
};

// Returns true when the user of `probe` may open `path` with `flags` (O_RDONLY or O_WRONLY;
// nothing is written). Needs root.
bool may_open(const std::string& path, const Probe& probe, int flags) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(probe.groups.size(), probe.groups.data()) != 0 ||
            ::setgid(probe.gid) != 0 || ::setuid(probe.uid) != 0) {
            ::_exit(2);
        }
        ::_exit(::open(path.c_str(), flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) >= 0 ? 0 : 1);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) != 2) << "probe failed";
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Gives what the user of `probe` may do with `path`: "rw", "r-", "-w" or "--". Needs root.
std::string rights_of(const std::string& path, const Probe& probe) {
    return std::string(may_open(path, probe, O_RDONLY) ? "r" : "-") +
           (may_open(path, probe, O_WRONLY) ? "w" : "-");
}

// Gives who may read and write `path`, e.g. "nobody:r- user 1234:-- ..."; empty unless root.
std::string access_of(const std::string& path) {
    if (!is_root()) {
        return "";
    }
    std::string access;
    for (const Probe& probe : kProbes) {
        access += std::string(probe.who) + ":" + rights_of(path, probe) + " ";
    }
    return access;
}

// Everything a file carries that an edit must keep, and its content.
struct Snapshot {
    std::string content;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    std::string acl;
    std::string attributes;
    std::string access;
};

Snapshot snapshot(const std::string& path) {
    const struct stat st = status_of(path);
    return {read_file(path), st.st_ino,    st.st_mode & 07777,  st.st_uid,
            st.st_gid,       acl_of(path), attributes_of(path), access_of(path)};
}

// Expects `after` to carry all that `before` carried, with the new content in a new file.
void expect_kept(const Snapshot& before, const Snapshot& after) {
    EXPECT_EQ(after.content, kNew);
    EXPECT_NE(after.inode, before.inode) << "a new file takes the old one's place";
    EXPECT_EQ(after.mode, before.mode) << std::oct << after.mode << " instead of " << before.mode;
    EXPECT_EQ(after.owner, before.owner);
    EXPECT_EQ(after.group, before.group);
    EXPECT_EQ(after.acl, before.acl);
    EXPECT_EQ(after.attributes, before.attributes);
    EXPECT_EQ(after.access, before.access) << "the edit changed who may read or write the file";
}

// Expects the file at `path` exactly as `before`: the same file, untouched.
void expect_untouched(const std::string& path, const Snapshot& before) {
    const Snapshot now = snapshot(path);
    EXPECT_EQ(now.content, before.content);
    EXPECT_EQ(now.inode, before.inode) << "the file was replaced";
    EXPECT_EQ(now.mode, before.mode);
    EXPECT_EQ(now.acl, before.acl);
    EXPECT_EQ(now.attributes, before.attributes);
}

// ---------------------------------------------------------------------------------------------
// What this machine allows.

enum class Need { Acls, UserAttributes, Root, Setpriv, Strace };

// Gives why a case needing `need` cannot run in the folder `dir`, or "" when it can.
std::string missing(Need need, const std::string& dir) {
    const std::string probe = dir + "/.probe";
    write_file(probe, "");
    std::string why;
    switch (need) {
        case Need::Acls:
            if (testing::find_program("setfacl").empty() ||
                testing::find_program("getfacl").empty()) {
                why = "needs setfacl and getfacl (the acl package)";
            } else if (shell("setfacl -m u:65534:r " + quoted(probe) + " 2>/dev/null") != 0) {
                why = "the file system under " + dir + " keeps no POSIX ACLs";
            }
            break;
        case Need::UserAttributes:
            if (testing::find_program("setfattr").empty() ||
                testing::find_program("getfattr").empty()) {
                why = "needs setfattr and getfattr (the attr package)";
            } else if (shell("setfattr -n user.probe -v 1 " + quoted(probe) + " 2>/dev/null") !=
                       0) {
                why = "the file system under " + dir + " keeps no user.* attributes";
            }
#if !defined(__linux__)
            why = "sets attributes of chosen sizes with Linux's setxattr";
#endif
            break;
        case Need::Root:
            if (!is_root()) {
                why = "needs root to give files to other users and to try their access";
            }
            break;
        case Need::Setpriv:
            if (!is_root() || testing::find_program("setpriv").empty()) {
                why = "needs root and setpriv to run the tool as an unprivileged user";
            }
            break;
        case Need::Strace:
            if (testing::usable_strace().empty()) {
                why = "needs strace, allowed to trace (ptrace)";
            }
            break;
    }
    ::unlink(probe.c_str());
    return why;
}

// Gives why a case needing all of `needs` cannot run in `dir`, or "".
std::string missing(const std::vector<Need>& needs, const std::string& dir) {
    for (const Need need : needs) {
        if (std::string why = missing(need, dir); !why.empty()) {
            return why;
        }
    }
    return "";
}

// Runs `commands` in the folder `dir` with sh; fails the test when they fail.
void run_in(const std::string& dir, const std::string& commands) {
    ASSERT_EQ(shell("cd " + quoted(dir) + " && { " + commands + " ; }"), 0) << commands;
}

// Makes a folder `dir` anyone may search, as the access probes need.
void make_folder(const std::string& dir) {
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0) << dir << ": " << system_text(errno);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
}

#if defined(__linux__)
// Sets the attribute `name` of the file at `path` to the longest value of `fill` bytes its file
// system takes beside what the file holds already; gives that length.
std::size_t set_longest(const std::string& path, const std::string& name, char fill) {
    std::size_t fits = 0;
    std::size_t too_long = 64 * 1024 + 1;  // XATTR_SIZE_MAX + 1
    while (too_long - fits > 1) {
        const std::size_t middle = (fits + too_long) / 2;
        const std::string value(middle, fill);
        if (::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0) {
            fits = middle;
        } else {
            too_long = middle;
        }
    }
    const std::string value(fits, fill);
    EXPECT_EQ(::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0), 0);
    return fits;
}
#endif

// ---------------------------------------------------------------------------------------------
// The table: a file "f" holding kOld in a fresh folder, prepared by the row, edited by linemorph;
// the same folder made again for sed -i.

struct KeepRow {
    const char* name;
    std::vector<Need> needs;
    const char* commands;                             // run in the folder to prepare it
    void (*more)(const std::string& file) = nullptr;  // then this, on the file's path
};

void PrintTo(const KeepRow& row, std::ostream* os) {
    *os << row.name;
}

#if defined(__linux__)
void attributes_of_several_sizes(const std::string& file) {
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"user.empty", ""},
                                      {"user.one", "1"},
                                      {"user.binary", std::string("\0\n\xff\x01", 4)},
                                      {"user.kib", std::string(1024, 'k')}}) {
        ASSERT_EQ(::setxattr(file.c_str(), name, value.data(), value.size(), 0), 0) << name;
    }
    // The rest of what the file system allows (ext4: all of a file's attributes share one block).
    EXPECT_GT(set_longest(file, "user.longest", 'L'), 1024u);
}
#else
void attributes_of_several_sizes(const std::string& /*file*/) {}
#endif

const KeepRow kKeepRows[] = {
    {"plain_mode_0640", {}, "chmod 0640 f"},
    // The group bits of such a file are the ACL's mask: the group itself may only read.
    {"access_acl_with_mask", {Need::Acls}, "setfacl -m u:65534:rw,g::r f"},
    {"narrow_mask", {Need::Acls}, "setfacl -m u:1234:rwx,g:4321:rwx,m::r f"},
    // The folder's default ACL would admit nobody and group 4321 to a file created in it.
    {"default_acl_on_folder",
     {Need::Acls},
     "chmod 0640 f && setfacl -d -m u:65534:rwx,g:4321:rw ."},
    {"default_acl_and_access_acl",
     {Need::Acls},
     "setfacl -m u:1234:r f && setfacl -d -m u:65534:rwx,o::rw ."},
    // chown clears set-user-ID and setting an ACL may clear set-group-ID: the mode goes last.
    {"acl_and_setuid",
     {Need::Acls, Need::Root},
     "chown 1234:4321 f && setfacl -m u:65534:r,g::rx f && chmod 4750 f"},
    {"acl_setgid_and_sticky",
     {Need::Acls, Need::Root},
     "chgrp 4321 f && setfacl -m u:1234:rwx f && chmod 3770 f"},
    {"user_attributes_of_several_sizes",
     {Need::UserAttributes},
     "true",
     attributes_of_several_sizes},
    // Without SELinux the label is kept as it stands; trusted.* is root's alone.
    {"security_and_trusted_attributes",
     {Need::UserAttributes, Need::Root},
     "setfattr -n security.selinux -v system_u:object_r:etc_t:s0 f && "
     "setfattr -n trusted.note -v 0x00ff f"},
    {"everything_together",
     {Need::Acls, Need::UserAttributes, Need::Root},
     "setfacl -d -m u:65534:rwx . && chown 1234:4321 f && "
     "setfacl -m u:65534:r,g:4321:rw f && setfattr -n user.a -v 1 f && "
     "setfattr -n security.selinux -v system_u:object_r:etc_t:s0 f && chmod 6750 f",
     attributes_of_several_sizes},
};

class KeepTest : public ::testing::TestWithParam<KeepRow> {};

TEST_P(KeepTest, KeptAsSedKeepsItOrBetter) {
    const KeepRow& row = GetParam();
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    if (const std::string why = missing(row.needs, dir.path()); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const std::string ours = dir / "linemorph";
    const std::string sed = dir / "sed";
    for (const std::string& folder : {ours, sed}) {
        make_folder(folder);
        write_file(folder + "/f", kOld, 0644);
        run_in(folder, row.commands);
        if (row.more != nullptr) {
            row.more(folder + "/f");
        }
        ASSERT_FALSE(HasFatalFailure());
    }
    const Snapshot before = snapshot(ours + "/f");

    const RunResult result = run_tool(kEdit, in_folder(ours));
    ASSERT_EQ(shell("cd " + quoted(sed) + " && sed -i s/OLD/NEW/ f"), 0);

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const Snapshot after = snapshot(ours + "/f");
    const Snapshot by_sed = snapshot(sed + "/f");
    expect_kept(before, after);
    EXPECT_EQ(after.content, by_sed.content);
    expect_at_least_what_sed_keeps("ACL", before.acl, by_sed.acl, after.acl);
    expect_at_least_what_sed_keeps("attributes", before.attributes, by_sed.attributes,
                                   after.attributes);
    EXPECT_EQ(status_of(ours).st_nlink, 2u) << "a temporary file or folder was left";
    EXPECT_EQ(shell("test \"$(ls -A " + quoted(ours) + ")\" = f"), 0) << "left: " << ours;
}

INSTANTIATE_TEST_SUITE_P(Rows, KeepTest, ::testing::ValuesIn(kKeepRows),
                         [](const ::testing::TestParamInfo<KeepRow>& info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------------------------
// An unprivileged run: what it may not set is skipped, the rest is kept.

TEST(Unprivileged, KeepsWhatItMaySetAndSkipsTheRest) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    if (const std::string why =
            missing({Need::Setpriv, Need::Acls, Need::UserAttributes}, dir.path());
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    // The tool's own copy, so that nobody can run it wherever the build lies.
    const std::string binary = dir / "linemorph-copy";
    write_file(binary, read_file(testing::tool_path()), 0755);
    const std::vector<std::string> as_nobody = {testing::find_program("setpriv"), "--reuid=65534",
                                                "--regid=65534", "--clear-groups"};

    const std::string ours = dir / "linemorph";
    const std::string sed = dir / "sed";
    for (const std::string& folder : {ours, sed}) {
        make_folder(folder);
        write_file(folder + "/f", kOld, 0644);
        // nobody's folder and file, read-only to its owner: the attributes must be set before the
        // ACL takes the owner's write right away. root adds what nobody may not set: a file
        // capability (CAP_NET_BIND_SERVICE permitted) needs CAP_SETFCAP, and trusted.* is not
        // even listed for nobody.
        run_in(folder,
               "chown 65534:65534 . f && setfacl -m u:1234:r,g:4321:r f && "
               "setfattr -n user.a -v 1 f && setfattr -n user.b -v 0x0000 f && "
               "setfattr -n security.capability -v 0x0000000200040000000000000000000000000000 f "
               "&& setfattr -n trusted.t -v 1 f && chmod 0444 f");
        ASSERT_FALSE(HasFatalFailure());
    }
    const Snapshot before = snapshot(ours + "/f");

    RunOptions options = in_folder(ours);
    options.prefix = as_nobody;
    options.binary = binary;
    const RunResult result = run_tool(kEdit, options);
    std::string sed_command;
    for (const auto& word : as_nobody) {
        sed_command += word + " ";
    }
    ASSERT_EQ(shell("cd " + quoted(sed) + " && " + sed_command + "sed -i s/OLD/NEW/ f"), 0);

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const Snapshot after = snapshot(ours + "/f");
    EXPECT_EQ(after.content, kNew);
    EXPECT_EQ(after.mode, 0444u);
    EXPECT_EQ(after.owner, 65534u);
    EXPECT_EQ(after.acl, before.acl);
    EXPECT_EQ(after.access, before.access);
    std::string expected;
    for (const std::string& line : lines_of(before.attributes)) {
        if (line.rfind("security.capability=", 0) != 0 && line.rfind("trusted.", 0) != 0) {
            expected += line + "\n";
        }
    }
    std::string kept;
    for (const std::string& line : lines_of(after.attributes)) {
        kept += line + "\n";
    }
    EXPECT_EQ(kept, expected);
    EXPECT_NE(expected.find("user.a="), std::string::npos);
    const Snapshot by_sed = snapshot(sed + "/f");
    expect_at_least_what_sed_keeps("ACL", before.acl, by_sed.acl, after.acl);
    expect_at_least_what_sed_keeps("attributes", before.attributes, by_sed.attributes,
                                   after.attributes);
    EXPECT_FALSE(std::filesystem::exists(ours + "/f.tmp"));
}

// ---------------------------------------------------------------------------------------------
// Injected failures of the attribute and ACL calls: status 5 and the permissions message, the
// input untouched and the temporary file gone; a refusal of one attribute is skipped.

// Which of the calls on a file: the first or the last that matches.
enum class Pick { First, Last };

struct FaultRow {
    const char* name;
    const char* call;   // as strace names it; "" for whichever call first matches
    bool on_temp;       // a call on the temporary file, or else on the input
    const char* holds;  // a text the call's line holds, e.g. "\"user.a\""
    Pick pick;
    const char* error;  // the error number's name, as strace takes it (ENOTSUP is EOPNOTSUPP)
    int error_number;
    int status;
    const char* lost;  // with status 0: the attributes (line prefix) the new file lacks
};

void PrintTo(const FaultRow& row, std::ostream* os) {
    *os << row.name;
}

const FaultRow kFaultRows[] = {
    // Removing the ACL the folder's default ACL gave the temporary file, before any content.
    {"private_acl_eio", "", true, "posix_acl_access", Pick::First, "EIO", EIO, 5, nullptr},
    // Reading the old file's attributes.
    {"list_eio", "flistxattr", false, "", Pick::First, "EIO", EIO, 5, nullptr},
    {"list_enotsup", "flistxattr", false, "", Pick::First, "EOPNOTSUPP", EOPNOTSUPP, 0, "user."},
    {"get_value_eio", "fgetxattr", false, "\"user.b\"", Pick::Last, "EIO", EIO, 5, nullptr},
    {"get_value_eperm", "fgetxattr", false, "\"user.b\"", Pick::Last, "EPERM", EPERM, 0, "user.b="},
    // Setting them on the new file: a refusal skips that one attribute.
    {"set_eio", "fsetxattr", true, "\"user.a\"", Pick::First, "EIO", EIO, 5, nullptr},
    {"set_enospc", "fsetxattr", true, "\"user.b\"", Pick::First, "ENOSPC", ENOSPC, 5, nullptr},
    {"set_edquot", "fsetxattr", true, "\"user.a\"", Pick::First, "EDQUOT", EDQUOT, 5, nullptr},
    {"set_eperm", "fsetxattr", true, "\"user.a\"", Pick::First, "EPERM", EPERM, 0, "user.a="},
    {"set_enotsup", "fsetxattr", true, "\"user.b\"", Pick::First, "EOPNOTSUPP", EOPNOTSUPP, 0,
     "user.b="},
    // The ACL: reading the old one, and setting it (acl_get_fd, acl_set_fd), is never skipped.
    {"get_acl_eio", "fgetxattr", false, "posix_acl_access", Pick::Last, "EIO", EIO, 5, nullptr},
    {"set_acl_eio", "fsetxattr", true, "posix_acl_access", Pick::Last, "EIO", EIO, 5, nullptr},
    {"set_acl_eperm", "fsetxattr", true, "posix_acl_access", Pick::Last, "EPERM", EPERM, 5,
     nullptr},
    {"set_acl_enotsup", "fsetxattr", true, "posix_acl_access", Pick::Last, "EOPNOTSUPP", EOPNOTSUPP,
     5, nullptr},
};

class MetadataFaultTest : public ::testing::TestWithParam<FaultRow> {};

TEST_P(MetadataFaultTest, Run) {
    const FaultRow& row = GetParam();
    TempDir dir;
    if (const std::string why =
            missing({Need::Strace, Need::Acls, Need::UserAttributes}, dir.path());
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    char real[PATH_MAX];
    ASSERT_NE(::realpath(dir.path().c_str(), real), nullptr);
    const std::string root = real;  // strace names descriptors by their real paths
    const std::string input = root + "/f";
    const std::string temp = root + "/f.tmp";
    const auto prepare = [&] {
        ::unlink(input.c_str());
        write_file(input, kOld, 0640);
        run_in(root,
               "setfacl -d -m u:65534:rwx . && setfacl -m u:65534:rw f && "
               "setfattr -n user.a -v 1 f && setfattr -n user.b -v 0x0102 f");
    };
    const auto traced = [&](const std::vector<std::string>& extra, std::string& log) {
        TempDir logs;
        RunOptions options = in_folder(logs.path());
        options.prefix = {testing::usable_strace(),
                          "-f",
                          "-y",
                          "-o",
                          logs / "log",
                          "-P",
                          input,
                          "-P",
                          temp,
                          "-P",
                          root};
        options.prefix.insert(options.prefix.end(), extra.begin(), extra.end());
        const RunResult result = run_tool({"--input=" + input, "OLD", "NEW"}, options);
        log = read_file(logs / "log");
        return result;
    };

    // A run without faults shows which call of its name the row means.
    prepare();
    ASSERT_FALSE(HasFatalFailure());
    std::string log;
    ASSERT_EQ(traced({}, log).status, 0);
    const std::string on = "<" + (row.on_temp ? temp : input) + ">";
    const std::vector<StraceCall> calls = calls_in(log);
    std::string call;
    int when = 0;
    std::map<std::string, int> seen;  // calls of each name so far
    for (const StraceCall& c : calls) {
        const int index = ++seen[c.name];
        if ((*row.call == '\0' || c.name == row.call) && c.line.find(on) != std::string::npos &&
            c.line.find(row.holds) != std::string::npos && (row.pick == Pick::Last || when == 0)) {
            call = c.name;
            when = index;
        }
    }
    ASSERT_NE(when, 0) << "no such call in a plain run:\n" << log;

    prepare();
    ASSERT_FALSE(HasFatalFailure());
    const Snapshot before = snapshot(input);
    const RunResult result = traced(
        {"-e", "inject=" + call + ":error=" + row.error + ":when=" + std::to_string(when)}, log);
    std::string injected;
    for (const StraceCall& c : calls_in(log)) {
        if (c.line.find("(INJECTED)") != std::string::npos) {
            injected = c.line;
        }
    }
    EXPECT_NE(injected.find(on), std::string::npos) << injected;
    EXPECT_NE(injected.find(row.holds), std::string::npos) << injected;

    EXPECT_EQ(result.status, row.status) << result.err;
    if (row.status != 0) {
        EXPECT_EQ(result.err,
                  "ERROR: While attempting to set permissions on new file, system reported: '" +
                      system_text(row.error_number) + "'\n");
        expect_untouched(input, before);
    } else {
        EXPECT_EQ(result.err, "");
        const Snapshot after = snapshot(input);
        EXPECT_EQ(after.content, kNew);
        EXPECT_EQ(after.acl, before.acl);
        std::string expected;
        for (const std::string& line : lines_of(before.attributes)) {
            if (line.rfind(row.lost, 0) != 0) {
                expected += line + "\n";
            }
        }
        std::string kept;
        for (const std::string& line : lines_of(after.attributes)) {
            kept += line + "\n";
        }
        EXPECT_EQ(kept, expected);
    }
    EXPECT_FALSE(std::filesystem::exists(temp)) << "the temporary file was left";
}

INSTANTIATE_TEST_SUITE_P(Rows, MetadataFaultTest, ::testing::ValuesIn(kFaultRows),
                         [](const ::testing::TestParamInfo<FaultRow>& info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------------------------
// At no moment of a run may the new content be open to anyone the old file did not admit: the
// run is slowed down at each step by strace while other users try the temporary file.

TEST(Order, NewContentNeverWiderThanTheOldFile) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    if (const std::string why =
            missing({Need::Strace, Need::Acls, Need::UserAttributes, Need::Root}, dir.path());
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    const std::string input = dir / "f";
    const std::string temp = dir / "f.tmp";
    write_file(input, kOld, 0644);
    // The folder's default ACL would admit nobody; the old file admits user 1234 and group 4321
    // to read, and has a set-user-ID bit and attributes that must survive with the ACL.
    run_in(dir.path(),
           "chown 1234:4321 f && setfacl -m u:1234:rw,g::r f && setfattr -n user.a -v 1 f && "
           "chmod 4640 f && setfacl -d -m u:65534:rwx,g:4321:rwx,o::rwx .");
    ASSERT_FALSE(HasFatalFailure());
    const Snapshot before = snapshot(input);
    std::vector<std::string> old_rights;
    for (const Probe& probe : kProbes) {
        old_rights.push_back(rights_of(input, probe));
    }
    const std::string private_acl = "user::rw-\ngroup::---\nother::---\n\n";

    RunOptions slow = in_folder(dir.path());
    slow.prefix = {testing::usable_strace(),
                   "-f",
                   "-o",
                   "/dev/null",
                   "-P",
                   temp,
                   "-e",
                   "inject=writev,fchown,flistxattr,fsetxattr,fchmod,fsync,rename:delay_exit="
                   "150000"};
    std::atomic<bool> running{true};
    RunResult result;
    std::thread run([&] {
        result = run_tool(kEdit, slow);
        running = false;
    });
    int looks = 0;
    std::set<std::string> states;  // the temporary file's ACLs seen while it held content
    while (running) {
        struct stat st {};
        if (::lstat(temp.c_str(), &st) != 0) {
            continue;
        }
        ++looks;
        const std::string acl = acl_of(temp);
        // Whatever state the file is in, it admits no one to more than the old file did.
        for (std::size_t i = 0; i < std::size(kProbes); ++i) {
            const std::string now = rights_of(temp, kProbes[i]);
            for (std::size_t right = 0; right < 2; ++right) {
                EXPECT_TRUE(now[right] == '-' || old_rights[i][right] != '-')
                    << kProbes[i].who << " may " << (right == 0 ? "read" : "write")
                    << " the temporary file; its ACL: " << acl;
            }
        }
        // Once it holds content, it is private and free of ACL entries until it takes the
        // old file's ACL; the size was taken first, so the ACL read is no older than it.
        if (st.st_size > 0 && !acl.empty()) {
            states.insert(acl);
            EXPECT_TRUE(acl == private_acl || acl == before.acl) << acl;
        }
    }
    run.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_GT(looks, 5) << "the temporary file was seen too seldom to tell";
    EXPECT_EQ(states.count(private_acl), 1u) << "never seen private while it held content";
    expect_kept(before, snapshot(input));
}

// The steps on the temporary file, as strace shows them: its inherited ACL gone before any
// content, then the content, the owner, the attributes and the ACL, the whole mode, the sync and
// the rename.
TEST(Order, StepsOnTheTemporaryFile) {
    TempDir dir;
    if (const std::string why =
            missing({Need::Strace, Need::Acls, Need::UserAttributes}, dir.path());
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    char real[PATH_MAX];
    ASSERT_NE(::realpath(dir.path().c_str(), real), nullptr);
    const std::string temp = std::string(real) + "/f.tmp";
    write_file(dir / "f", kOld, 0644);
    run_in(dir.path(),
           "setfacl -m u:65534:r f && setfattr -n user.a -v 1 f && chmod 4644 f && "
           "setfacl -d -m u:65534:rwx .");
    ASSERT_FALSE(HasFatalFailure());
    TempDir logs;
    RunOptions options = in_folder(dir.path());
    options.prefix = {testing::usable_strace(), "-f", "-y", "-o", logs / "log", "-P", temp};
    // By its real path, which strace matches calls on.
    const RunResult result =
        run_tool({"--input=" + std::string(real) + "/f", "OLD", "NEW"}, options);
    ASSERT_EQ(result.status, 0) << result.err;

    // The position of the first (or last) call on the temporary file that matches.
    const std::vector<StraceCall> calls = calls_in(read_file(logs / "log"));
    const auto position = [&](const std::string& name, const std::string& holds, Pick pick) {
        int found = -1;
        for (int i = 0; i < static_cast<int>(calls.size()); ++i) {
            const StraceCall& c = calls[static_cast<std::size_t>(i)];
            if ((name.empty() || c.name == name) && c.line.find("f.tmp") != std::string::npos &&
                c.line.find(holds) != std::string::npos && (pick == Pick::Last || found < 0)) {
                found = i;
            }
        }
        EXPECT_GE(found, 0) << "no " << name << " " << holds << " on the temporary file";
        return found;
    };
    const int made_private = position("", "posix_acl_access", Pick::First);
    const int content = position("writev", "", Pick::First);
    const int owner = position("fchown", "", Pick::First);
    const int attribute = position("fsetxattr", "\"user.a\"", Pick::First);
    const int acl = position("fsetxattr", "posix_acl_access", Pick::Last);
    const int mode = position("fchmod", "", Pick::First);
    const int sync = position("fsync", "", Pick::First);
    const int rename = position("rename", "", Pick::First);
    EXPECT_LT(made_private, content);
    EXPECT_LT(content, owner);
    EXPECT_LT(owner, attribute);
    EXPECT_LT(owner, acl);
    EXPECT_LT(made_private, acl) << "the old file's ACL is set once the content is written";
    EXPECT_LT(attribute, mode);
    EXPECT_LT(acl, mode);
    EXPECT_LT(mode, sync);
    EXPECT_LT(sync, rename);
    EXPECT_NE(calls[static_cast<std::size_t>(mode)].line.find("04644"), std::string::npos)
        << "the whole mode, set-user-ID included";
}

// ---------------------------------------------------------------------------------------------
// --follow-symlinks: the file at the end of the chain is edited in place, and the links stay.

// A chain of relative and absolute links into another folder:
//   links/first -> second -> /ABS/links/third -> ../real/target
// and links that end nowhere or in a loop, and two that meet a temporary path:
//   links/to_temp -> to_temp.tmp (a regular file)      links/x.tmp -> x (x regular)
// and a regular file, links/plain.
struct LinkTree {
    TempDir dir;
    LinkTree() {
        EXPECT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        make_folder(dir / "links");
        make_folder(dir / "real");
        write_file(dir / "real/target", kOld, 0640);
        link("second", "links/first");
        link(dir / "links/third", "links/second");
        link("../real/target", "links/third");
        link("missing", "links/dangling");
        link("loop_b", "links/loop_a");
        link("loop_a", "links/loop_b");
        write_file(dir / "links/to_temp.tmp", kOld, 0600);
        link("to_temp.tmp", "links/to_temp");
        write_file(dir / "links/x", kOld, 0600);
        link("x", "links/x.tmp");
        write_file(dir / "links/plain", kOld, 0600);
    }
    void link(const std::string& target, const std::string& name) {
        EXPECT_EQ(::symlink(target.c_str(), (dir / name).c_str()), 0) << name;
    }
    // Gives each link of the tree with its target, and each regular file with its content, the
    // tree's own path written as ROOT.
    std::string listing() const {
        std::string text =
            shell_output("cd " + quoted(dir.path()) +
                         " && find . -type l -printf '%p -> %l\\n' | sort && "
                         "find . -type f -printf '%p\\n' | sort | xargs -n1 sh -c "
                         "'printf \"%s: \" \"$0\"; cat \"$0\" | tr \"\\n\" \"|\"; echo'");
        for (std::size_t at; (at = text.find(dir.path())) != std::string::npos;) {
            text.replace(at, dir.path().size(), "ROOT");
        }
        return text;
    }
};

struct FollowRow {
    const char* name;
    std::vector<std::string> options;  // before --input=
    const char* input;                 // relative to links/
    int status;
    std::string err;
    const char* edited;  // the file that holds kNew afterwards, relative to the tree; or nullptr
};

void PrintTo(const FollowRow& row, std::ostream* os) {
    *os << row.name;
}

std::string stat_message(const std::string& path, int error) {
    return "ERROR: Whilst attempting to get information of '" + path + "', system reported: '" +
           system_text(error) + "'\n";
}

const std::string kFollow = "--follow-symlinks";

const FollowRow kFollowRows[] = {
    {"chain_into_another_folder", {kFollow}, "first", 0, "", "real/target"},
    {"option_as_a_prefix", {"--follow-symlinksXYZ"}, "first", 0, "", "real/target"},
    {"middle_of_the_chain", {kFollow}, "third", 0, "", "real/target"},
    {"regular_file", {kFollow}, "plain", 0, "", "links/plain"},
    {"dangling", {kFollow}, "dangling", 3, stat_message("dangling", ENOENT), nullptr},
    {"loop", {kFollow}, "loop_a", 3, stat_message("loop_a", ELOOP), nullptr},
    {"missing", {kFollow}, "nothing", 3, stat_message("nothing", ENOENT), nullptr},
    // The link's target is the link's own temporary path: that file is edited, through its own
    // temporary file, to_temp.tmp.tmp.
    {"target_is_the_links_temporary_path", {kFollow}, "to_temp", 0, "", "links/to_temp.tmp"},
    // The target's temporary path is the link itself, which must stay: nothing is done.
    {"link_at_the_targets_temporary_path",
     {kFollow},
     "x.tmp",
     6,
     "Error: Cannot open x.tmp (" + system_text(EEXIST) + ")",
     nullptr},
};

class FollowTest : public ::testing::TestWithParam<FollowRow> {};

TEST_P(FollowTest, AgainstSed) {
    const FollowRow& row = GetParam();
    LinkTree ours;
    LinkTree sed;
    std::vector<std::string> args = row.options;
    args.push_back("--input=" + std::string(row.input));
    args.push_back("OLD");
    args.push_back("NEW");
    const std::string before = ours.listing();
    const RunResult result = run_tool(args, in_folder(ours.dir / "links"));
    EXPECT_EQ(result.status, row.status) << result.err;
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.out, "");

    // What changed: only the content of the edited file; every link is as it was.
    std::string expected = before;
    if (row.edited != nullptr) {
        const std::string line = "./" + std::string(row.edited) + ": ";
        const std::size_t at = expected.find(line);
        ASSERT_NE(at, std::string::npos);
        std::string flat_new = kNew;
        std::replace(flat_new.begin(), flat_new.end(), '\n', '|');
        std::string flat_old = kOld;
        std::replace(flat_old.begin(), flat_old.end(), '\n', '|');
        expected.replace(at + line.size(), flat_old.size(), flat_new);
    }
    EXPECT_EQ(ours.listing(), expected);

    // sed -i --follow-symlinks makes the same change where it succeeds.
    const int sed_status = shell("cd " + quoted(sed.dir / "links") + " && sed -i " +
                                 "--follow-symlinks s/OLD/NEW/ " + row.input + " 2>/dev/null");
    if (row.status == 0) {
        EXPECT_EQ(sed_status, 0);
        EXPECT_EQ(sed.listing(), ours.listing());
    } else if (row.status == 3) {
        EXPECT_NE(sed_status, 0) << "sed also fails";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FollowTest, ::testing::ValuesIn(kFollowRows),
                         [](const ::testing::TestParamInfo<FollowRow>& info) {
                             return info.param.name;
                         });

TEST(Follow, KeepsTheTargetsAclAndAttributes) {
    LinkTree tree;
    if (const std::string why = missing({Need::Acls, Need::UserAttributes}, tree.dir.path());
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    run_in(tree.dir / "real",
           "setfacl -m u:65534:rw,g::r target && setfattr -n user.a -v 1 target && "
           "setfacl -d -m u:1234:rwx .");
    ASSERT_FALSE(HasFatalFailure());
    const Snapshot before = snapshot(tree.dir / "real/target");
    const RunResult result =
        run_tool({kFollow, "--input=first", "OLD", "NEW"}, in_folder(tree.dir / "links"));
    EXPECT_EQ(result.status, 0) << result.err;
    expect_kept(before, snapshot(tree.dir / "real/target"));
    EXPECT_FALSE(std::filesystem::exists(tree.dir / "real/target.tmp"));
}

// Without the option a link is replaced by a regular file, as sed -i does; its target keeps
// its content.
TEST(Follow, WithoutTheOptionTheLinkIsReplaced) {
    LinkTree ours;
    LinkTree sed;
    const RunResult run = run_tool({"--input=first", "OLD", "NEW"}, in_folder(ours.dir / "links"));
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(shell("cd " + quoted(sed.dir / "links") + " && sed -i s/OLD/NEW/ first"), 0);
    const struct stat first = status_of(ours.dir / "links/first");
    EXPECT_TRUE(S_ISREG(first.st_mode));
    EXPECT_EQ(read_file(ours.dir / "links/first"), kNew);
    EXPECT_EQ(read_file(ours.dir / "real/target"), kOld);
    EXPECT_EQ(ours.listing(), sed.listing());
}

// The dry run follows the chain as the real run does and names the path given.
TEST(Follow, DryRunNamesThePathGiven) {
    LinkTree tree;
    const std::string before = tree.listing();
    const RunResult result = run_tool({kFollow, "--dryrun", "--input=first", "OLD", "NEW"},
                                      in_folder(tree.dir / "links"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "--- first\n+++ first\n@@ -1,3 +1,3 @@\n-one OLD\n+one NEW\n two\n-three OLD OLD\n"
              "+three NEW OLD\n");
    EXPECT_EQ(tree.listing(), before) << "a dry run changes nothing";
    for (const auto& [input, error] : {std::pair{"dangling", ENOENT}, {"loop_a", ELOOP}}) {
        const RunResult failed =
            run_tool({kFollow, "--dryrun", "--input=" + std::string(input), "OLD", "NEW"},
                     in_folder(tree.dir / "links"));
        EXPECT_EQ(failed.status, 3);
        EXPECT_EQ(failed.err, stat_message(input, error));
        EXPECT_EQ(failed.out, "");
    }
}

}  // namespace
}  // namespace linemorph
