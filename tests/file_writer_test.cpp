#include "file_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"

namespace linemorph {
namespace {

using testing::read_file;
using testing::TempDir;

// A copy limit no stretch reaches: everything is copied.
constexpr std::size_t kCopyAll = std::numeric_limits<std::size_t>::max();

// One call on the writer, in terms of a block of bytes that stands for the read buffer.
struct Step {
    enum class Kind {
        Keep,     // keep() of the block's next `size` bytes
        Skip,     // pass over `size` bytes of the block: the next Keep does not follow the last
        Insert,   // change() whose one part is `size` bytes outside the block, like a replacement
        Release,  // release(); the block is then overwritten, as the read buffer is when reused
        Replace,  // change() of a line's shape: `size` bytes of the block, `inserted` bytes
                  // outside it, and the `after` bytes of the block that follow the `size` bytes
                  // and the `skipped` bytes after them, like a replaced occurrence
        Whole,    // change() of a whole line's shape: `inserted` bytes outside, then a line feed
    } kind;
    std::size_t size = 0;
    std::size_t inserted = 0;
    std::size_t skipped = 0;
    std::size_t after = 0;
};

Step keep(std::size_t size) {
    return {Step::Kind::Keep, size};
}
Step skip(std::size_t size) {
    return {Step::Kind::Skip, size};
}
Step insert(std::size_t size) {
    return {Step::Kind::Insert, size};
}
const Step kRelease{Step::Kind::Release};
Step replace(std::size_t before, std::size_t inserted, std::size_t skipped, std::size_t after) {
    return {Step::Kind::Replace, before, inserted, skipped, after};
}
Step whole(std::size_t inserted) {
    return {Step::Kind::Whole, 0, inserted};
}

// Gives `steps` `times` over.
std::vector<Step> repeat(int times, const std::vector<Step>& steps) {
    std::vector<Step> all;
    for (int i = 0; i < times; ++i) {
        all.insert(all.end(), steps.begin(), steps.end());
    }
    return all;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Gives the `k`th text from outside the block: `size` bytes that differ from their neighbours, so
// that a byte copied to the wrong place, or not at all, shows.
std::string outside_text(std::size_t size, std::size_t k) {
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('A' + (k + i) % 26);
    }
    return text;
}

// Feeds `steps` to a FileWriter of `sizes` on a fresh file, then finish(), and checks that the
// file holds every byte handed in, in order. After each release() the block is overwritten and
// the file must hold a beginning of the output, so that bytes still referred to in the block
// after a release() show up as wrong bytes.
void expect_written(const std::vector<Step>& steps, WriterSizes sizes) {
    TempDir dir;
    const std::string path = dir / "out";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    FileWriter writer(fd, sizes);
    std::string block(1 << 16, '\0');
    char generation = 0;
    const auto refill = [&] {
        ++generation;
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>('a' + (i * 7 + static_cast<std::size_t>(generation)) % 26);
        }
    };
    refill();
    std::deque<std::string> texts;  // the inserted parts: they last the whole run, like a rule's
    std::string expected;
    std::size_t at = 0;
    for (const Step& step : steps) {
        int error = 0;
        switch (step.kind) {
            case Step::Kind::Keep: {
                ASSERT_LE(at + step.size, block.size());
                const std::string_view bytes(block.data() + at, step.size);
                expected += bytes;
                at += step.size;
                error = writer.keep(bytes);
                break;
            }
            case Step::Kind::Skip:
                at += step.size;
                break;
            case Step::Kind::Insert: {
                texts.push_back(outside_text(step.size, texts.size()));
                LineOutput output;
                output.parts[0] = texts.back();
                output.count = 1;
                expected += texts.back();
                error = writer.change("", output);
                break;
            }
            case Step::Kind::Replace: {
                ASSERT_LE(at + step.size + step.skipped + step.after, block.size());
                texts.push_back(outside_text(step.inserted, texts.size()));
                const LineOutput output{
                    OutputForm::Replaced,
                    {std::string_view(block.data() + at, step.size), texts.back(),
                     std::string_view(block.data() + at + step.size + step.skipped, step.after)},
                    3};
                for (std::size_t i = 0; i < output.count; ++i) {
                    expected += output.parts[i];
                }
                at += step.size + step.skipped + step.after;
                error = writer.change("", output);
                break;
            }
            case Step::Kind::Whole: {
                texts.push_back(outside_text(step.inserted, texts.size()));
                const LineOutput output{OutputForm::WholeLine, {texts.back(), "\n", {}}, 2};
                expected += texts.back() + "\n";
                error = writer.change("", output);
                break;
            }
            case Step::Kind::Release: {
                error = writer.release();
                const std::string so_far = read_file(path);
                EXPECT_TRUE(expected.compare(0, so_far.size(), so_far) == 0)
                    << "after a release, the file holds bytes that were not handed in";
                refill();
                at = 0;
                break;
            }
        }
        ASSERT_EQ(error, 0) << std::strerror(error);
    }
    ASSERT_EQ(writer.finish(), 0);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(read_file(path), expected);
}

struct WriterRow {
    const char* name;
    WriterSizes sizes;
    std::vector<Step> steps;
};

void PrintTo(const WriterRow& row, std::ostream* os) {
    *os << row.name;
}

const WriterRow kWriterRows[] = {
    {"nothing", {8, 4}, {kRelease}},
    {"empty_pieces", {8, 4}, {keep(0), insert(0), kRelease, keep(0)}},
    {"one_byte_buffer", {1, kCopyAll}, {keep(3), insert(2), kRelease, keep(1)}},
    {"piece_exactly_the_buffer", {8, kCopyAll}, {keep(8), kRelease, insert(8), keep(8), kRelease}},
    {"piece_one_over_the_buffer", {8, kCopyAll}, {keep(9), insert(9), kRelease, keep(7)}},
    {"pieces_of_many_buffers_copied", {8, kCopyAll}, {keep(50), insert(33), kRelease, keep(17)}},
    {"copies_fill_the_buffer_then_a_long_piece",
     {8, 6},
     {keep(3), skip(1), keep(5), skip(1), keep(6), kRelease}},
    // Stretches of at least the copy limit stay where they are, however large.
    {"long_pieces_larger_than_the_buffer",
     {8, 4},
     {keep(50), insert(2), keep(4), skip(1), keep(3), insert(20), kRelease, keep(100)}},
    // Adjacent pieces make one stretch: here one long enough to be written from the block,
    // which must happen before the block is reused.
    {"short_pieces_join_into_a_long_one",
     {64, 8},
     {keep(3), keep(3), keep(2), kRelease, keep(3), keep(3), keep(1), skip(1), keep(7), kRelease}},
    {"copies_wait_across_releases",
     {64, kCopyAll},
     {keep(5), kRelease, keep(5), kRelease, insert(5), kRelease, keep(5)}},
    {"copies_around_pieces_in_place",
     {16, 4},
     {insert(3), keep(10), insert(3), keep(1), skip(2), keep(5), kRelease, insert(15), keep(2),
      kRelease}},
    {"nothing_copied", {8, 0}, {keep(1), insert(1), keep(1), kRelease, insert(9)}},
    // More pieces than one writev takes, in place only and alternating with copies.
    {"many_pieces_in_place", {1 << 16, 2}, repeat(300, {keep(2), skip(1)}) + std::vector{kRelease}},
    {"many_pieces_alternating",
     {1 << 16, 4},
     repeat(300, {insert(1), keep(4)}) + std::vector{kRelease, insert(1)}},
    // Changed lines as the read loop hands them in: each one's first part follows the last
    // one's last part.
    {"replaced_lines_in_a_row",
     {64, 16},
     repeat(40, {replace(3, 2, 4, 5)}) + std::vector{kRelease, replace(0, 0, 0, 0), keep(2)}},
    // Parts of every size up to past the short copies' reach.
    {"replaced_lines_of_every_size",
     {1 << 16, kCopyAll},
     [] {
         std::vector<Step> steps;
         for (std::size_t size = 0; size <= 40; ++size) {
             steps.push_back(replace(size, size % 11, 1, 1));
             steps.push_back(replace(size % 5, size, 1, 1));
             steps.push_back(whole(size));
         }
         steps.push_back(kRelease);
         return steps;
     }()},
    {"replaced_lines_meet_the_copy_limit",
     {64, 8},
     {replace(5, 2, 1, 1), replace(1, 1, 1, 1), keep(5), replace(2, 9, 0, 3), kRelease}},
    {"whole_lines_between_kept_runs",
     {16, 8},
     {keep(3), whole(4), whole(0), keep(20), whole(14), skip(2), keep(1), kRelease}},
    {"many_pieces_then_a_full_buffer",
     {64, 3},
     repeat(200, {keep(3), skip(1), insert(1)}) + std::vector{kRelease}},
};

class WriterTableTest : public ::testing::TestWithParam<WriterRow> {};

TEST_P(WriterTableTest, WritesEveryByteInOrder) {
    expect_written(GetParam().steps, GetParam().sizes);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriterTableTest, ::testing::ValuesIn(kWriterRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Random calls with small sizes, so that stretches meet the buffer's end and the copy limit in
// every way.
TEST(FileWriter, RandomCalls) {
    std::mt19937 random(20261211);
    for (int round = 0; round < 400; ++round) {
        // Mostly tiny buffers, sometimes one that takes many lines, as the real one does.
        const WriterSizes sizes{random() % 4 == 0 ? 256 + random() % 4096 : 1 + random() % 16,
                                random() % 4 == 0 ? kCopyAll : random() % 12};
        std::vector<Step> steps;
        std::size_t at = 0;
        for (std::size_t i = random() % 60; i > 0; --i) {
            Step step{static_cast<Step::Kind>(random() % 6), random() % 20};
            if (step.kind == Step::Kind::Replace || step.kind == Step::Kind::Whole) {
                step.inserted = random() % 12;
                step.skipped = random() % 3 == 0 ? random() % 8 : 0;
                step.after = random() % 20;
            }
            if (step.kind == Step::Kind::Release) {
                at = 0;
            } else if (step.kind == Step::Kind::Replace) {
                at += step.size + step.skipped + step.after;
            } else if (step.kind != Step::Kind::Insert && step.kind != Step::Kind::Whole) {
                at += step.size;
            }
            if (at > 1000) {
                step = kRelease;
                at = 0;
            }
            steps.push_back(step);
        }
        SCOPED_TRACE("round " + std::to_string(round) + ": buffer " + std::to_string(sizes.buffer) +
                     ", copy limit " + std::to_string(sizes.copy_limit));
        expect_written(steps, sizes);
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
}

// A failed write ends the stream with its error, whether it comes while copying, at a release
// or at the end.
TEST(FileWriter, WriteErrorIsGiven) {
    TempDir dir;
    const std::string path = dir / "out";
    testing::write_file(path, "");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // not open for writing
    ASSERT_GE(fd, 0);
    const std::string bytes(100, 'x');
    {
        FileWriter writer(fd, {8, kCopyAll});
        // The stretch waits for bytes that do not follow it; copied then, it fills the buffer,
        // whose write fails.
        EXPECT_EQ(writer.keep(bytes), 0);
        EXPECT_EQ(writer.keep("y"), EBADF);
    }
    {
        FileWriter writer(fd, {256, 16});
        EXPECT_EQ(writer.keep(bytes), 0);
        EXPECT_EQ(writer.release(), EBADF);
    }
    {
        FileWriter writer(fd, {256, kCopyAll});
        EXPECT_EQ(writer.keep(bytes), 0);
        EXPECT_EQ(writer.release(), 0);  // copies may wait
        EXPECT_EQ(writer.finish(), EBADF);
    }
    ::close(fd);
}

}  // namespace
}  // namespace linemorph
