#include "cache_release.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "support.h"

namespace {

// How many of the coming allocations by operator new fail before they succeed again; 0 in all but
// the test that makes a thread's start run out of memory.
std::atomic<int> failing_allocations{0};

}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
    int failing = failing_allocations.load();
    while (failing > 0 && !failing_allocations.compare_exchange_weak(failing, failing - 1)) {
    }
    void* memory = failing > 0 ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}

[[gnu::noinline]] void operator delete(void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}

namespace linemorph {
namespace {

using testing::TempDir;

// Gives how many pages of [0, length) of the file open at `fd` are in the page cache.
std::size_t resident_pages(int fd, off_t length) {
    const long page = ::sysconf(_SC_PAGESIZE);
    void* map = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        ADD_FAILURE() << "mmap failed";
        return 0;
    }
    std::vector<unsigned char> pages(static_cast<std::size_t>((length + page - 1) / page));
    EXPECT_EQ(::mincore(map, static_cast<std::size_t>(length), pages.data()), 0);
    ::munmap(map, static_cast<std::size_t>(length));
    std::size_t resident = 0;
    for (const unsigned char flags : pages) {
        resident += flags & 1;
    }
    return resident;
}

// A file read to its end while the release lives: its pages well behind the end are let go only
// when the file is large and has no other name.
TEST(InputCacheRelease, DropsWhatWasReadOfALargeFileWithOneName) {
    struct Row {
        const char* name;
        off_t size;
        bool hard_link;
        bool dropped;
    };
    const Row rows[] = {
        {"large", InputCacheRelease::kMinSize + (off_t{8} << 20), false, true},
        {"large_with_another_name", InputCacheRelease::kMinSize + (off_t{8} << 20), true, false},
        {"small", InputCacheRelease::kMinSize - 4096, false, false},
    };
    {
        // Where the file system keeps its pages whatever the advice (tmpfs), nothing can show.
        TempDir dir;
        const std::string path = dir / "probe";
        testing::write_file(path, std::string(1 << 20, 'x'));
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::fsync(fd), 0);
        ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
        const std::size_t kept = resident_pages(fd, 1 << 20);
        ::close(fd);
        if (kept != 0) {
            GTEST_SKIP() << "the file system of the temporary folders keeps cached pages";
        }
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string path = dir / "f";
        testing::write_file(path, std::string(static_cast<std::size_t>(row.size), 'x'));
        if (row.hard_link) {
            ASSERT_EQ(::link(path.c_str(), (dir / "g").c_str()), 0);
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::fsync(fd), 0);  // clean pages: only those can be let go
        std::vector<char> block(256 * 1024);
        while (::read(fd, block.data(), block.size()) > 0) {  // cached before the run
        }
        ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
        struct stat status {};
        ASSERT_EQ(::fstat(fd, &status), 0);
        {
            const InputCacheRelease release(fd, status);
            while (::read(fd, block.data(), block.size()) > 0) {
            }
        }
        // Everything up to a step before the last lag behind the end has been let go, but for a
        // large page that may span the end of the last range.
        const off_t checked =
            row.size - InputCacheRelease::kLag - InputCacheRelease::kStep - (off_t{4} << 20);
        const std::size_t resident = resident_pages(fd, checked);
        if (row.dropped) {
            EXPECT_EQ(resident, 0U);
        } else {
            EXPECT_EQ(resident, static_cast<std::size_t>(checked / ::sysconf(_SC_PAGESIZE)));
        }
        ::close(fd);
    }
}

// Where no thread can be started, for want of system resources or of memory for its state, the
// file is read as without the release, and nothing is thrown.
TEST(InputCacheRelease, GoesWithoutAThreadWhenMemoryIsShort) {
    struct stat status {};
    status.st_mode = S_IFREG | 0600;
    status.st_nlink = 1;
    status.st_size = InputCacheRelease::kMinSize;
    failing_allocations.store(1);
    EXPECT_NO_THROW({ const InputCacheRelease release(-1, status); });
    failing_allocations.store(0);
}

}  // namespace
}  // namespace linemorph
