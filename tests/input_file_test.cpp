// The checked input on its own: which files every open of the input turns away, and why.
#include "input_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "fd_io.h"
#include "support.h"

namespace linemorph {
namespace {

using testing::TempDir;
using testing::write_file;

TEST(InputFile, ChecksOfEveryOpen) {
    struct Case {
        const char* name;
        void (*plant)(const TempDir&);
        int lock;  // held on "f" by another descriptor, 0 for none
        std::optional<FailureKind> kind;
        int error;
    };
    const auto regular = [](const TempDir& d) { write_file(d / "f", "a\n"); };
    const Case cases[] = {
        {"regular_file", regular, 0, {}, 0},
        {"shared_locked_by_a_reader", regular, LOCK_SH, {}, 0},
        {"exclusively_locked_by_a_writer", regular, LOCK_EX, FailureKind::OpenInput, EWOULDBLOCK},
        {"missing", [](const TempDir&) {}, 0, FailureKind::StatInput, ENOENT},
        {"folder", [](const TempDir& d) { ASSERT_EQ(::mkdir((d / "f").c_str(), 0700), 0); }, 0,
         FailureKind::NotRegular, 0},
        {"fifo", [](const TempDir& d) { ASSERT_EQ(::mkfifo((d / "f").c_str(), 0600), 0); }, 0,
         FailureKind::NotRegular, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.plant(dir);
        UniqueFd holder;
        if (c.lock != 0) {
            holder.reset(::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(holder);
            ASSERT_EQ(::flock(holder.get(), c.lock), 0);
        }
        InputFile input;
        const auto failure = open_input(dir / "f", input);
        if (!c.kind) {
            EXPECT_FALSE(failure);
            EXPECT_TRUE(input.fd);
            EXPECT_TRUE(S_ISREG(input.status.st_mode));
        } else {
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->kind, *c.kind);
            EXPECT_EQ(failure->error, c.error);
            EXPECT_EQ(failure->path, dir / "f");
        }
    }
}

// Without --follow-symlinks the path given is the path edited; with it, the end of the chain,
// and a chain that leads nowhere fails as a missing input, naming the path given.
TEST(InputFile, LocatedThroughLinksOnlyWhenAsked) {
    TempDir dir;
    write_file(dir / "target", "a\n");
    ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    ResolvedPath located;
    ASSERT_FALSE(locate_input(dir / "link", LinkHandling::Replace, located));
    EXPECT_EQ(located.path, dir / "link");
    ASSERT_FALSE(locate_input(dir / "link", LinkHandling::Follow, located));
    EXPECT_EQ(located.path, dir / "target");
    const auto failure = locate_input(dir / "dangling", LinkHandling::Follow, located);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, FailureKind::StatInput);
    EXPECT_EQ(failure->error, ENOENT);
    EXPECT_EQ(failure->path, dir / "dangling");
}

}  // namespace
}  // namespace linemorph
