#include "file_rewrite.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "cache_release.h"
#include "random_cases.h"
#include "reference_rewriter.h"
#include "rewrite_cases.h"
#include "support.h"

namespace linemorph {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::size_t kBlockSizes[] = {1, 7, kDefaultBlockSize};

// Rewrites `content` as the file "f" in a fresh folder and gives the file's new content; checks
// that the run succeeded and left nothing else behind.
std::string rewrite_content(const std::string& content, const Rule& rule, std::size_t block) {
    TempDir dir;
    const std::string path = dir / "f";
    write_file(path, content);
    const auto failure = rewrite_file(path, rule, block);
    EXPECT_FALSE(failure) << (failure ? failure_message(*failure) : "");
    EXPECT_EQ(dir.names(), std::set<std::string>{"f"});
    return read_file(path);
}

// Every rewriter case, as a line between two lines that stay as they are, through the file
// driver at each block size: block boundaries must not change any result.
class DriverCaseTest
    : public ::testing::TestWithParam<std::tuple<testing::RewriteCase, std::size_t>> {};

TEST_P(DriverCaseTest, SameResultAsOneLine) {
    const auto& [c, block] = GetParam();
    // Neighbours only where they cannot match; a line that lacks its line feed must be last.
    const bool neighbours = std::string("=#\n").find(c.args[0]) == std::string::npos;
    const std::string before = neighbours ? "=====\n" : "";
    const std::string after =
        neighbours && !c.line.empty() && c.line.back() == '\n' ? "#####\n" : "";
    for (const LineMode mode : {LineMode::Partial, LineMode::WholeLine}) {
        const std::string& expected = mode == LineMode::Partial ? c.partial : c.wholeline;
        EXPECT_EQ(rewrite_content(before + c.line + after, testing::make_rule(c.args, mode), block),
                  before + expected + after)
            << (mode == LineMode::Partial ? "partial" : "whole-line");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverCaseTest,
                         ::testing::Combine(::testing::ValuesIn(testing::rewrite_cases()),
                                            ::testing::ValuesIn(kBlockSizes)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_block" +
                                    std::to_string(std::get<1>(info.param));
                         });

class DriverTest : public ::testing::TestWithParam<std::size_t> {};

// A line far longer than any block is still one line: one replacement, one whole-line output,
// and occurrences across block boundaries are found.
TEST_P(DriverTest, LongLinesStayWhole) {
    const std::size_t block = GetParam();
    const std::string head(70000, 'a');
    const std::string line = head + "NEEDLE" + std::string(5000, 'b') + "NEEDLE tail\n";
    const std::string content = "short NEEDLE\n" + line + "end\n";

    EXPECT_EQ(rewrite_content(content, {"NEEDLE", "PIN", {}, LineMode::Partial}, block),
              "short PIN\n" + head + "PIN" + std::string(5000, 'b') + "NEEDLE tail\nend\n");
    EXPECT_EQ(rewrite_content(content, {"NEEDLE", "PIN", {}, LineMode::WholeLine}, block),
              "PIN\nPIN\nend\n");
    // The condition text lies one long stretch away from the occurrence.
    EXPECT_EQ(
        rewrite_content(content, make_rule("NEEDLE", "PIN", {"}tail"}, LineMode::WholeLine), block),
        "short NEEDLE\nPIN\nend\n");
    // Only the second occurrence on the long line meets the condition; the first is replaced.
    EXPECT_EQ(rewrite_content(line, make_rule("NEEDLE", "PIN", {"{b"}, LineMode::Partial), block),
              head + "PIN" + std::string(5000, 'b') + "NEEDLE tail\n");
}

// Many short lines, so that lines straddle block boundaries everywhere.
TEST_P(DriverTest, ManyLinesAcrossBlocks) {
    const std::size_t block = GetParam();
    std::string content;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        const std::string n = std::to_string(i);
        if (i % 3 == 0) {
            content += "line " + n + " OLD OLD\n";
            expected += "line " + n + " NEW OLD\n";
        } else if (i % 3 == 1) {
            content += "#define OLD " + n + "\r\n";
            expected += "#define OLD " + n + "\r\n";
        } else {
            content += n + "\n";
            expected += n + "\n";
        }
    }
    content += "last OLD";
    expected += "last NEW";
    EXPECT_EQ(
        rewrite_content(content, make_rule("OLD", "NEW", {"-#define"}, LineMode::Partial), block),
        expected);
}

// A file large enough that its cached pages are let go while it is read gives the same result.
TEST(Driver, LargeFileWhoseCacheIsLetGo) {
    std::string content;
    std::string expected;
    for (int i = 0; content.size() <= std::size_t{InputCacheRelease::kMinSize}; ++i) {
        const std::string n = std::to_string(i);
        content += "value " + n + " = OLD_NAME;\n";
        expected += "value " + n + " = NEW_NAME;\n";
    }
    EXPECT_EQ(rewrite_content(content, make_rule("OLD_NAME", "NEW_NAME", {}, LineMode::Partial),
                              kDefaultBlockSize),
              expected);
}

TEST_P(DriverTest, EmptyFileStaysEmpty) {
    EXPECT_EQ(rewrite_content("", {"a", "b", {}, LineMode::WholeLine}, GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, DriverTest, ::testing::ValuesIn(kBlockSizes),
                         [](const auto& info) { return "block" + std::to_string(info.param); });

// Random files and arguments over a small alphabet, at random block sizes and writer sizes (mostly
// tiny): lines, occurrences and search strings holding line feeds fall across block boundaries in
// every way, the writer's stretches meet its buffer's end and its copy limit in every way, and the
// driver must give what rewriting each line on its own gives.
TEST(RewriteStream, AgreesWithLineByLineReference) {
    testing::RandomCases cases(20261210, {"ab\na\r", 200, 4, 3, 2, "+-{}a", 2});
    TempDir dir;
    const std::string in_path = dir / "in";
    const std::string out_path = dir / "out";
    for (int round = 0; round < 3000; ++round) {
        const auto [content, args, wholeline] = cases.next();
        const std::size_t block = 1 + cases.below(40);
        WriterSizes sizes;
        if (cases.below(4) != 0) {
            sizes.buffer = 1 + cases.below(48);
            sizes.copy_limit =
                cases.below(5) == 0 ? std::numeric_limits<std::size_t>::max() : cases.below(24);
        }
        write_file(in_path, content);
        const int in = ::open(in_path.c_str(), O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(in, 0);
        ASSERT_GE(out, 0);
        const auto failure = copy_rewritten(
            in, out, testing::make_rule(args, wholeline ? LineMode::WholeLine : LineMode::Partial),
            block, sizes);
        ::close(in);
        ::close(out);
        ASSERT_FALSE(failure);
        ASSERT_EQ(read_file(out_path), testing::reference_rewrite_file(content, args, wholeline))
            << "content " << ::testing::PrintToString(content) << " args "
            << ::testing::PrintToString(args) << " block " << block << " writer buffer "
            << sizes.buffer << " copy limit " << sizes.copy_limit
            << (wholeline ? " whole-line" : "");
    }
}

TEST(RewriteStream, ReadErrorIsReportedAsRead) {
    TempDir dir;
    const int in = ::open(dir.path().c_str(), O_RDONLY);  // reading a folder fails
    ASSERT_GE(in, 0);
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(out, 0);
    const auto failure = copy_rewritten(in, out, {"a", "b", {}, LineMode::Partial});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->side, StreamFailure::Side::Read);
    EXPECT_EQ(failure->error, EISDIR);
    ::close(in);
    ::close(out);
}

TEST(RewriteStream, WriteErrorIsReportedAsWrite) {
    TempDir dir;
    write_file(dir / "in", "a\nb\n");
    const int in = ::open((dir / "in").c_str(), O_RDONLY);
    const int out = ::open((dir / "in").c_str(), O_RDONLY);  // not open for writing
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    for (const std::size_t block : kBlockSizes) {
        ASSERT_EQ(::lseek(in, 0, SEEK_SET), 0);
        const auto failure = copy_rewritten(in, out, {"a", "b", {}, LineMode::Partial}, block);
        ASSERT_TRUE(failure) << block;
        EXPECT_EQ(failure->side, StreamFailure::Side::Write);
        EXPECT_EQ(failure->error, EBADF);
    }
    ::close(in);
    ::close(out);
}

}  // namespace
}  // namespace linemorph
