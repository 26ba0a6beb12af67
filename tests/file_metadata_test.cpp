#include "file_metadata.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace linemorph {
namespace {

using testing::shell;
using testing::shell_output;
using testing::TempDir;
using testing::write_file;

// ---------------------------------------------------------------------------------------------
// The copy's rules, with calls that fail on demand.

enum class Op { List, Get, Set, GetAcl, SetAcl, SetPrivateAcl };

// Whether the old file lists the attribute that holds its ACL.
enum class Listing { WithAcl, WithoutAcl };

// One call to fail: which, on which attribute name (any when empty), with which error.
struct Fault {
    Op op;
    std::string name;
    int error;
};

// Calls on an old file (descriptor 1) holding a few attributes, one of them its ACL, and a new
// file (descriptor 2); records what is done to the new file, in order.
class FakeCalls final : public MetadataCalls {
  public:
    explicit FakeCalls(std::optional<Fault> fault, Listing listing = Listing::WithAcl)
        : fault_(std::move(fault)), listing_(listing) {}

    int list_attributes(int fd, std::vector<std::string>& names) override {
        EXPECT_EQ(fd, 1);
        if (const int error = failure(Op::List, "")) {
            return error;
        }
        names = {"user.a", "system.posix_acl_access", "security.selinux", "trusted.t"};
        if (listing_ == Listing::WithoutAcl) {
            names.erase(names.begin() + 1);
        }
        return 0;
    }
    int get_attribute(int fd, const std::string& name, std::string& value) override {
        EXPECT_EQ(fd, 1);
        if (const int error = failure(Op::Get, name)) {
            return error;
        }
        value = "value of " + name;
        return 0;
    }
    int set_attribute(int fd, const std::string& name, std::string_view value) override {
        EXPECT_EQ(fd, 2);
        EXPECT_EQ(value, "value of " + name);
        if (const int error = failure(Op::Set, name)) {
            return error;
        }
        done.push_back("set " + name);
        return 0;
    }
    bool holds_acl(std::string_view name) const override {
        return name == "system.posix_acl_access";
    }
    int get_acl(int fd, AclHandle& acl) override {
        EXPECT_EQ(fd, 1);
        if (const int error = failure(Op::GetAcl, "")) {
            return error;
        }
        acl = std::make_shared<std::string>("the old ACL");
        return 0;
    }
    int set_acl(int fd, const AclHandle& acl) override {
        EXPECT_EQ(fd, 2);
        EXPECT_EQ(*static_cast<const std::string*>(acl.get()), "the old ACL");
        if (const int error = failure(Op::SetAcl, "")) {
            return error;
        }
        done.push_back("set the ACL");
        return 0;
    }
    int set_private_acl(int fd) override {
        EXPECT_EQ(fd, 2);
        if (const int error = failure(Op::SetPrivateAcl, "")) {
            return error;
        }
        done.push_back("set the private ACL");
        return 0;
    }

    std::vector<std::string> done;

  private:
    int failure(Op op, const std::string& name) const {
        if (fault_ && fault_->op == op && (fault_->name.empty() || fault_->name == name)) {
            return fault_->error;
        }
        return 0;
    }

    std::optional<Fault> fault_;
    Listing listing_;
};

TEST(CopyMetadata, Rules) {
    struct Row {
        const char* name;
        std::optional<Fault> fault;
        int result;
        std::vector<std::string> done;
        mode_t mode = 0644;
        Listing listing = Listing::WithAcl;
    };
    const std::string a = "set user.a";
    const std::string selinux = "set security.selinux";
    const std::string trusted = "set trusted.t";
    const std::string acl = "set the ACL";
    const Row rows[] = {
        // In the old file's order, the ACL in the place of its own attribute, which is never
        // copied as an attribute.
        {"everything", {}, 0, {a, acl, selinux, trusted}},
        // The ACL goes last when it denies the owner writing: an unprivileged owner could not set
        // the attributes after it.
        {"read_only_owner", {}, 0, {a, selinux, trusted, acl}, 0444},
        {"read_only_setuid", {}, 0, {a, selinux, trusted, acl}, 04555},
        {"owner_may_only_write", {}, 0, {a, acl, selinux, trusted}, 0200},
        {"read_only_set_acl_eio", Fault{Op::SetAcl, "", EIO}, EIO, {a, selinux, trusted}, 0444},
        // A file without an ACL's attribute (or one whose system does not list it) still gets
        // the old file's ACL, or its absence, at the end.
        {"acl_not_listed", {}, 0, {a, selinux, trusted, acl}, 0644, Listing::WithoutAcl},
        // A file system without attributes has none to copy; the ACL is still copied.
        {"list_enotsup", Fault{Op::List, "", ENOTSUP}, 0, {acl}},
        {"list_eopnotsupp", Fault{Op::List, "", EOPNOTSUPP}, 0, {acl}},
        {"list_eio", Fault{Op::List, "", EIO}, EIO, {}},
        {"list_enomem", Fault{Op::List, "", ENOMEM}, ENOMEM, {}},
        // What this run may not read, or what went away meanwhile, is skipped.
        {"get_eperm", Fault{Op::Get, "security.selinux", EPERM}, 0, {a, acl, trusted}},
        {"get_eacces", Fault{Op::Get, "security.selinux", EACCES}, 0, {a, acl, trusted}},
        {"get_enotsup", Fault{Op::Get, "user.a", ENOTSUP}, 0, {acl, selinux, trusted}},
        {"get_enodata", Fault{Op::Get, "user.a", ENODATA}, 0, {acl, selinux, trusted}},
        {"get_eio", Fault{Op::Get, "security.selinux", EIO}, EIO, {a, acl}},
        // What the system refuses to set for this user is skipped, as a refused owner change.
        {"set_eperm", Fault{Op::Set, "security.selinux", EPERM}, 0, {a, acl, trusted}},
        {"set_enotsup", Fault{Op::Set, "trusted.t", ENOTSUP}, 0, {a, acl, selinux}},
        // Any other failure ends the copy.
        {"set_eio", Fault{Op::Set, "user.a", EIO}, EIO, {}},
        {"set_enospc", Fault{Op::Set, "trusted.t", ENOSPC}, ENOSPC, {a, acl, selinux}},
        {"set_edquot", Fault{Op::Set, "security.selinux", EDQUOT}, EDQUOT, {a, acl}},
        {"set_eacces", Fault{Op::Set, "user.a", EACCES}, EACCES, {}},
        {"set_e2big", Fault{Op::Set, "user.a", E2BIG}, E2BIG, {}},
        // A file system without ACLs gave neither file one.
        {"get_acl_enotsup", Fault{Op::GetAcl, "", ENOTSUP}, 0, {a, selinux, trusted}},
        {"get_acl_eio", Fault{Op::GetAcl, "", EIO}, EIO, {a}},
        {"get_acl_enomem", Fault{Op::GetAcl, "", ENOMEM}, ENOMEM, {a}},
        // An ACL that cannot be set is never skipped: without it the new file could admit more.
        {"set_acl_eio", Fault{Op::SetAcl, "", EIO}, EIO, {a}},
        {"set_acl_eperm", Fault{Op::SetAcl, "", EPERM}, EPERM, {a}},
        {"set_acl_enotsup", Fault{Op::SetAcl, "", ENOTSUP}, ENOTSUP, {a}},
        {"set_acl_einval", Fault{Op::SetAcl, "", EINVAL}, EINVAL, {a}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeCalls calls(row.fault, row.listing);
        EXPECT_EQ(copy_metadata(1, 2, row.mode, calls), row.result);
        EXPECT_EQ(calls.done, row.done);
    }
}

TEST(MakePrivate, Rules) {
    const std::vector<std::string> set{"set the private ACL"};
    struct Row {
        std::optional<Fault> fault;
        int result;
        std::vector<std::string> done;
    };
    const Row rows[] = {
        {{}, 0, set},
        {Fault{Op::SetPrivateAcl, "", ENOTSUP}, 0, {}},  // no ACLs here, so none was inherited
        {Fault{Op::SetPrivateAcl, "", EOPNOTSUPP}, 0, {}},
        {Fault{Op::SetPrivateAcl, "", EIO}, EIO, {}},
        {Fault{Op::SetPrivateAcl, "", EPERM}, EPERM, {}},
    };
    for (const Row& row : rows) {
        FakeCalls calls(row.fault);
        EXPECT_EQ(make_private(2, calls), row.result);
        EXPECT_EQ(calls.done, row.done);
    }
}

// ---------------------------------------------------------------------------------------------
// The system's own calls, on real files in the system's temporary folder.

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// Gives the access ACL of `path` as getfacl writes it, numeric, without its header.
std::string acl_of(const std::string& path) {
    return shell_output("getfacl --omit-header --numeric --absolute-names " + quoted(path) +
                        " 2>/dev/null");
}

// Gives the user.* attributes of `path`, their values in hex, without the file's name.
std::string user_attributes_of(const std::string& path) {
    return shell_output("getfattr --dump --match='^user\\.' --encoding=hex --absolute-names " +
                        quoted(path) + " 2>/dev/null | grep -v '^# file:'");
}

bool have_acl_tools() {
    return !testing::find_program("setfacl").empty() && !testing::find_program("getfacl").empty();
}

// Opens `path` for the copy; fails the test when it cannot.
int open_file(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
    return fd;
}

// Copies the metadata of the file at `from` to the one at `to`; gives copy_metadata's result.
int copy_between(const std::string& from, const std::string& to) {
    const int in = open_file(from, O_RDONLY);
    const int out = open_file(to, O_WRONLY);
    const int result = copy_metadata(in, out, testing::status_of(from).st_mode);
    ::close(in);
    ::close(out);
    return result;
}

TEST(SystemCalls, AclSupportOfThisBuild) {
#if defined(__linux__)
    EXPECT_NE(acl_support(), AclSupport::None) << "Linux keeps the ACL with or without libacl";
#endif
}

TEST(SystemCalls, CopiesUserAttributesOfEverySize) {
    TempDir dir;
    write_file(dir / "old", "o\n");
    write_file(dir / "new", "n\n", 0600);
    if (shell("setfattr -n user.probe -v 1 " + quoted(dir / "old") + " 2>/dev/null") != 0) {
        GTEST_SKIP() << "setfattr is missing, or the file system under " << dir.path()
                     << " keeps no user.* attributes";
    }
    // Values set through the calls themselves: empty, with zero bytes, and long.
    const int old_fd = open_file(dir / "old", O_RDONLY);
    MetadataCalls& calls = system_metadata_calls();
    const std::map<std::string, std::string> values = {
        {"user.empty", ""},
        {"user.binary", std::string("a\0b\n\xff", 5)},
        {"user.long", std::string(2000, 'v')},
    };
    for (const auto& [name, value] : values) {
        ASSERT_EQ(calls.set_attribute(old_fd, name, value), 0) << name;
    }
    ::close(old_fd);
    ASSERT_EQ(copy_between(dir / "old", dir / "new"), 0);
    EXPECT_EQ(user_attributes_of(dir / "new"), user_attributes_of(dir / "old"));
    const int new_fd = open_file(dir / "new", O_RDONLY);
    for (const auto& [name, value] : values) {
        std::string got = "not read";
        EXPECT_EQ(calls.get_attribute(new_fd, name, got), 0) << name;
        EXPECT_EQ(got, value) << name;
    }
    std::vector<std::string> names;
    EXPECT_EQ(calls.list_attributes(new_fd, names), 0);
    EXPECT_EQ(names.size(), values.size() + 1);
    ::close(new_fd);
}

TEST(SystemCalls, CopiesTheAccessAclOrItsAbsence) {
    if (!have_acl_tools()) {
        GTEST_SKIP() << "needs setfacl and getfacl (the acl package)";
    }
    TempDir dir;
    write_file(dir / "probe", "");
    if (shell("setfacl -m u:65534:r " + quoted(dir / "probe") + " 2>/dev/null") != 0) {
        GTEST_SKIP() << "the file system under " << dir.path() << " keeps no POSIX ACLs";
    }
    struct Row {
        const char* name;
        const char* old_acl;  // setfacl's -m argument for the old file, or "" for none
        const char* new_acl;  // the same for the new file before the copy
    };
    const Row rows[] = {
        {"named_entries_and_mask", "u:65534:rw,g:65534:r,g::r,m::rw", ""},
        {"narrow_mask", "u:65534:rwx,g::rwx,m::r", "u:1:rwx"},
        {"none_replaces_one", "", "u:65534:rwx,m::rwx"},
        {"none_onto_none", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string old_path = dir / (std::string(row.name) + ".old");
        const std::string new_path = dir / (std::string(row.name) + ".new");
        write_file(old_path, "o\n", 0640);
        write_file(new_path, "n\n", 0600);
        for (const auto& [path, acl] :
             {std::pair{old_path, row.old_acl}, {new_path, row.new_acl}}) {
            if (*acl != '\0') {
                ASSERT_EQ(shell("setfacl -m " + std::string(acl) + " " + quoted(path)), 0);
            }
        }
        ASSERT_EQ(copy_between(old_path, new_path), 0);
        EXPECT_EQ(acl_of(new_path), acl_of(old_path));
        struct stat st {};
        ASSERT_EQ(::stat(new_path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, testing::status_of(old_path).st_mode & 0777)
            << "the ACL sets the permission bits (the group's are the mask)";
    }
}

TEST(SystemCalls, MakePrivateDropsTheFolderDefaultAcl) {
    if (!have_acl_tools()) {
        GTEST_SKIP() << "needs setfacl and getfacl (the acl package)";
    }
    TempDir dir;
    if (shell("setfacl -d -m u:65534:rwx,g::rwx,o::r " + quoted(dir.path()) + " 2>/dev/null") !=
        0) {
        GTEST_SKIP() << "the file system under " << dir.path() << " keeps no POSIX ACLs";
    }
    const std::string path = dir / "new";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    // What the folder gave it: the default ACL's entries, its mask emptied by the mode 0600.
    const std::string inherited = acl_of(path);
    EXPECT_NE(inherited.find("user:65534:rwx"), std::string::npos) << inherited;
    EXPECT_NE(inherited.find("mask::---"), std::string::npos) << inherited;
    EXPECT_EQ(make_private(fd), 0);
    ::close(fd);
    EXPECT_EQ(acl_of(path), "user::rw-\ngroup::---\nother::---\n\n");
    EXPECT_EQ(testing::status_of(path).st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace linemorph
