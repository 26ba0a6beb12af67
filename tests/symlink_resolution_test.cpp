#include "symlink_resolution.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

namespace linemorph {
namespace {

using testing::TempDir;
using testing::write_file;

void make_link(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path << ": " << std::strerror(errno);
}

// The folder every row resolves in:
//   t                 a regular file          d/t          another one
//   d/sub/            a folder                alias -> d/sub (a link to a folder)
//   rel -> d/t        one relative link       abs -> /.../t   one absolute link
//   c1 -> c2 -> d/c3 -> ../abs -> /.../t      a chain of relative and absolute links
//   d/sub/up -> ../t  relative to its own folder, reached through alias as well
//   loop1 <-> loop2, self -> self              loops
//   dangling -> nowhere, half -> dangling      dangling links
//   x.tmp -> x, x     a link at the temporary path of its own target
//   f -> f.tmp, f.tmp a link to the temporary path of its own name
class Tree {
  public:
    Tree() {
        write_file(dir_ / "t", "top\n");
        EXPECT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
        EXPECT_EQ(::mkdir((dir_ / "d/sub").c_str(), 0755), 0);
        write_file(dir_ / "d/t", "inner\n");
        make_link("d/sub", dir_ / "alias");
        make_link("d/t", dir_ / "rel");
        make_link(dir_ / "t", dir_ / "abs");
        make_link("c2", dir_ / "c1");
        make_link("d/c3", dir_ / "c2");
        make_link("../abs", dir_ / "d/c3");
        make_link("../t", dir_ / "d/sub/up");
        make_link("loop2", dir_ / "loop1");
        make_link("loop1", dir_ / "loop2");
        make_link("self", dir_ / "self");
        make_link("nowhere", dir_ / "dangling");
        make_link("dangling", dir_ / "half");
        write_file(dir_ / "x", "x\n");
        make_link("x", dir_ / "x.tmp");
        write_file(dir_ / "f.tmp", "f\n");
        make_link("f.tmp", dir_ / "f");
    }
    std::string operator/(const std::string& name) const { return dir_ / name; }

  private:
    TempDir dir_;
};

// Returns true when `a` and `b` name the same file, following links.
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

TEST(ResolveSymlinks, Table) {
    const Tree tree;
    struct Row {
        const char* given;
        int error;
        const char* names;  // the file the result must name, relative to the tree
        const char* path;   // the exact path given back, where it is fixed; else nullptr
        std::size_t links;  // links passed through
    };
    const Row rows[] = {
        {"t", 0, "t", "", 0},  // "" stands for the given path itself
        {"d/t", 0, "d/t", "", 0},
        {"d/sub", 0, "d/sub", "", 0},  // a folder: not a link, so it stays
        {"rel", 0, "d/t", "d/t", 1},
        {"abs", 0, "t", nullptr, 1},
        {"c1", 0, "t", nullptr, 4},
        {"d/c3", 0, "t", nullptr, 2},
        {"d/sub/up", 0, "d/t", "d/sub/../t", 1},
        // Through a link to a folder, ".." is the folder's real parent, as the system takes it.
        {"alias/up", 0, "d/t", "alias/../t", 1},
        {"f", 0, "f.tmp", "f.tmp", 1},
        {"x.tmp", 0, "x", "x", 1},
        {"loop1", ELOOP, nullptr, nullptr, 0},
        {"self", ELOOP, nullptr, nullptr, 0},
        {"dangling", ENOENT, nullptr, nullptr, 0},
        {"half", ENOENT, nullptr, nullptr, 0},
        {"missing", ENOENT, nullptr, nullptr, 0},
        {"", ENOENT, nullptr, nullptr, 0},
        {"t/x", ENOTDIR, nullptr, nullptr, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.given);
        // Relative rows resolve from inside the tree, as a run started there would.
        const std::string given = *row.given == '\0' ? "" : tree / row.given;
        const ResolvedPath resolved = resolve_symlinks(given);
        EXPECT_EQ(resolved.error, row.error) << std::strerror(resolved.error);
        if (row.error != 0) {
            EXPECT_EQ(resolved.path, "");
            continue;
        }
        struct stat end {};
        ASSERT_EQ(::lstat(resolved.path.c_str(), &end), 0) << resolved.path;
        EXPECT_FALSE(S_ISLNK(end.st_mode)) << resolved.path << " is still a link";
        EXPECT_TRUE(same_file(resolved.path, tree / row.names)) << resolved.path;
        if (row.path != nullptr) {
            EXPECT_EQ(resolved.path, *row.path == '\0' ? given : tree / row.path);
        }
        EXPECT_EQ(resolved.links.size(), row.links);
    }
}

TEST(ResolveSymlinks, RelativePathsStayRelative) {
    const Tree tree;
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir((tree / "d").c_str()), 0);
    const ResolvedPath up = resolve_symlinks("sub/up");
    const ResolvedPath outside = resolve_symlinks("c3");
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(up.path, "sub/../t");
    EXPECT_EQ(outside.path, tree / "t") << "an absolute target is taken as it stands";
}

TEST(ResolveSymlinks, ChainLengthLimit) {
    TempDir dir;
    write_file(dir / "end", "e\n");
    // link0 -> link1 -> ... -> linkN -> end: N + 1 links.
    const auto chain = [&dir](int links) {
        for (int i = 0; i < links; ++i) {
            const std::string next = i + 1 < links ? "link" + std::to_string(i + 1) : "end";
            const std::string name = dir / ("link" + std::to_string(i));
            ::unlink(name.c_str());
            make_link(next, name);
        }
    };
    chain(kMaxSymlinkHops);
    const ResolvedPath longest = resolve_symlinks(dir / "link0");
    EXPECT_EQ(longest.error, 0);
    EXPECT_EQ(longest.path, dir / "end");
    EXPECT_EQ(longest.links.size(), static_cast<std::size_t>(kMaxSymlinkHops));
    chain(kMaxSymlinkHops + 1);
    EXPECT_EQ(resolve_symlinks(dir / "link0").error, ELOOP);
}

TEST(ResolveSymlinks, LongTargets) {
    TempDir dir;
    // A target longer than any small buffer: a path of folders named by 200 bytes each.
    std::string relative;
    for (int i = 0; i < 5; ++i) {
        relative += std::string(200, static_cast<char>('a' + i)) + "/";
        ASSERT_EQ(::mkdir((dir / relative).c_str(), 0755), 0);
    }
    write_file(dir / (relative + "end"), "e\n");
    make_link(relative + "end", dir / "long");
    const ResolvedPath resolved = resolve_symlinks(dir / "long");
    EXPECT_EQ(resolved.error, 0);
    EXPECT_EQ(resolved.path, dir / (relative + "end"));
}

TEST(ResolveSymlinks, PassesThroughKnowsLinksByIdentity) {
    const Tree tree;
    // x.tmp -> x: the temporary path of the end is the link the chain began with.
    const ResolvedPath at_temp = resolve_symlinks(tree / "x.tmp");
    EXPECT_TRUE(at_temp.passes_through(tree / "x.tmp"));
    EXPECT_TRUE(at_temp.passes_through(at_temp.path + ".tmp"));
    // f -> f.tmp: the end's temporary path, f.tmp.tmp, is no link of the chain.
    const ResolvedPath to_temp = resolve_symlinks(tree / "f");
    EXPECT_FALSE(to_temp.passes_through(to_temp.path + ".tmp"));
    EXPECT_FALSE(to_temp.passes_through(tree / "f.tmp")) << "the end is no link";
    // Another name of a link of the chain (a hard link to the link itself) is that link.
    ASSERT_EQ(::linkat(AT_FDCWD, (tree / "c2").c_str(), AT_FDCWD, (tree / "t.tmp").c_str(), 0), 0);
    const ResolvedPath chain = resolve_symlinks(tree / "c1");
    EXPECT_TRUE(chain.passes_through(tree / "t.tmp"));
    EXPECT_FALSE(chain.passes_through(tree / "rel")) << "a link outside the chain";
    EXPECT_FALSE(chain.passes_through(tree / "missing"));
}

}  // namespace
}  // namespace linemorph
