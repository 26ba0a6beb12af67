// The atomic file on its own, on real files in a fresh folder, without running the tool: what the
// temporary file clears and refuses, what it removes and keeps, and what reaches the target only
// at commit.
#include "atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

#include "fd_io.h"
#include "input_file.h"
#include "support.h"

namespace linemorph {
namespace {

using testing::read_file;
using testing::status_of;
using testing::TempDir;
using testing::write_file;

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

void write_to(int fd, const std::string& bytes) {
    ASSERT_EQ(write_all(fd, bytes), 0);
}

TEST(AtomicFile, TargetChangesOnlyAtCommit) {
    TempDir dir;
    write_file(dir / "f", "old\n", 0640);
    InputFile original;
    ASSERT_FALSE(open_input(dir / "f", original));
    AtomicFile temp(dir / "f");
    ASSERT_FALSE(temp.create(original.status));
    EXPECT_EQ(temp.path(), dir / "f.tmp");
    EXPECT_EQ(status_of(temp.path()).st_mode & 07777, 0600u) << "created private";
    write_to(temp.fd(), "new\n");
    ASSERT_FALSE(temp.prepare(original.fd.get(), original.status));
    EXPECT_EQ(read_file(dir / "f"), "old\n") << "prepared, not yet committed";
    EXPECT_EQ(status_of(temp.path()).st_mode & 07777, 0640u);
    ASSERT_FALSE(temp.commit());
    EXPECT_EQ(read_file(dir / "f"), "new\n");
    EXPECT_EQ(status_of(dir / "f").st_mode & 07777, 0640u);
    EXPECT_EQ(dir.names(), std::set<std::string>{"f"});
}

TEST(AtomicFile, RemovedWhenNotCommitted) {
    enum class Stage { Created, Written, Prepared };
    for (const Stage stage : {Stage::Created, Stage::Written, Stage::Prepared}) {
        SCOPED_TRACE(static_cast<int>(stage));
        TempDir dir;
        write_file(dir / "f", "old\n");
        InputFile original;
        ASSERT_FALSE(open_input(dir / "f", original));
        {
            AtomicFile temp(dir / "f");
            ASSERT_FALSE(temp.create(original.status));
            if (stage != Stage::Created) {
                write_to(temp.fd(), "new\n");
            }
            if (stage == Stage::Prepared) {
                ASSERT_FALSE(temp.prepare(original.fd.get(), original.status));
            }
        }
        EXPECT_EQ(read_file(dir / "f"), "old\n");
        EXPECT_EQ(dir.names(), std::set<std::string>{"f"});
    }
}

// Whatever stands at the temporary path: a leftover is cleared, a live run's locked file and the
// input itself are refused and left as they are.
TEST(AtomicFile, WhatStandsAtTheTemporaryPath) {
    enum class Expect { Cleared, Refused };
    struct Case {
        const char* name;
        void (*plant)(const TempDir&);
        Expect expect;
        FailureKind kind;
    };
    const Case cases[] = {
        {"stale_file",
         [](const TempDir& d) { write_file(d / "f.tmp", "stale", 0400); },
         Expect::Cleared,
         {}},
        {"link_to_a_victim",
         [](const TempDir& d) {
             write_file(d / "victim", "precious");
             ASSERT_EQ(::symlink("victim", (d / "f.tmp").c_str()), 0);
         },
         Expect::Cleared,
         {}},
        {"hard_link_of_the_input",
         [](const TempDir& d) { ASSERT_EQ(::link((d / "f").c_str(), (d / "f.tmp").c_str()), 0); },
         Expect::Refused, FailureKind::TempIsInput},
        {"folder", [](const TempDir& d) { ASSERT_EQ(::mkdir((d / "f.tmp").c_str(), 0700), 0); },
         Expect::Refused, FailureKind::OpenTemp},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "f", "old\n");
        c.plant(dir);
        const std::set<std::string> before = dir.names();
        AtomicFile temp(dir / "f");
        const auto failure = temp.create(stat_of(dir / "f"));
        if (c.expect == Expect::Cleared) {
            EXPECT_FALSE(failure);
            EXPECT_TRUE(S_ISREG(status_of(dir / "f.tmp").st_mode));
            EXPECT_EQ(status_of(dir / "f.tmp").st_size, 0);
        } else {
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->kind, c.kind);
            EXPECT_EQ(dir.names(), before);
        }
        EXPECT_EQ(read_file(dir / "f"), "old\n");
        if (before.count("victim") != 0) {
            EXPECT_EQ(read_file(dir / "victim"), "precious");
        }
    }
}

TEST(AtomicFile, LiveRunsFileIsLeftAlone) {
    TempDir dir;
    write_file(dir / "f", "old\n");
    AtomicFile first(dir / "f");
    ASSERT_FALSE(first.create(stat_of(dir / "f")));
    AtomicFile second(dir / "f");
    const auto failure = second.create(stat_of(dir / "f"));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, FailureKind::OpenTemp);
    EXPECT_EQ(failure->error, EWOULDBLOCK);
    EXPECT_TRUE(path_names(first.path(), first.identity())) << "the live run's file was touched";
}

// A file put in place of the prepared one is neither renamed nor removed.
TEST(AtomicFile, ReplacedBeforeCommitIsNotRenamed) {
    TempDir dir;
    write_file(dir / "f", "old\n");
    InputFile original;
    ASSERT_FALSE(open_input(dir / "f", original));
    {
        AtomicFile temp(dir / "f");
        ASSERT_FALSE(temp.create(original.status));
        write_to(temp.fd(), "new\n");
        ASSERT_FALSE(temp.prepare(original.fd.get(), original.status));
        ASSERT_EQ(::rename(temp.path().c_str(), (dir / "taken").c_str()), 0);
        write_file(dir / "f.tmp", "planted");
        const auto failure = temp.commit();
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind, FailureKind::TempReplaced);
    }
    EXPECT_EQ(read_file(dir / "f"), "old\n");
    EXPECT_EQ(read_file(dir / "f.tmp"), "planted");
}

// A failed rename keeps the whole result for the user.
TEST(AtomicFile, KeptAfterFailedRename) {
    TempDir dir;
    write_file(dir / "f", "old\n");
    InputFile original;
    ASSERT_FALSE(open_input(dir / "f", original));
    {
        // The target's place is taken by a non-empty folder once the file is prepared: the
        // rename of a file onto a folder fails.
        AtomicFile temp(dir / "f");
        ASSERT_FALSE(temp.create(original.status));
        write_to(temp.fd(), "new\n");
        ASSERT_FALSE(temp.prepare(original.fd.get(), original.status));
        ASSERT_EQ(::rename((dir / "f").c_str(), (dir / "old").c_str()), 0);
        ASSERT_EQ(::mkdir((dir / "f").c_str(), 0700), 0);
        write_file(dir / "f/inside", "");
        const auto failure = temp.commit();
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind, FailureKind::Rename);
        EXPECT_EQ(failure->target, dir / "f");
    }
    EXPECT_EQ(read_file(dir / "f.tmp"), "new\n");
}

}  // namespace
}  // namespace linemorph
