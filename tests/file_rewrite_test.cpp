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
    EXPECT_EQ(rewrite_content(content, {"NEEDLE", "PIN", {"}tail"}, LineMode::WholeLine}, block),
              "short NEEDLE\nPIN\nend\n");
    // Only the second occurrence on the long line meets the condition; the first is replaced.
    EXPECT_EQ(rewrite_content(line, {"NEEDLE", "PIN", {"{b"}, LineMode::Partial}, block),
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
    EXPECT_EQ(rewrite_content(content, {"OLD", "NEW", {"-#define"}, LineMode::Partial}, block),
              expected);
}

TEST_P(DriverTest, EmptyFileStaysEmpty) {
    EXPECT_EQ(rewrite_content("", {"a", "b", {}, LineMode::WholeLine}, GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, DriverTest, ::testing::ValuesIn(kBlockSizes));

// Random files and arguments over a small alphabet, at random block sizes and writer sizes (mostly
// tiny): lines, occurrences and search strings holding line feeds fall across block boundaries in
// every way, the writer's stretches meet its buffer's end and its copy limit in every way, and the
// driver must give what rewriting each line on its own gives.
TEST(RewriteStream, AgreesWithLineByLineReference) {
    std::mt19937 random(20261210);
    const auto text = [&](std::size_t max_length) {
        static constexpr char kAlphabet[] = {'a', 'b', '\n', 'a', '\r'};
        std::string t(random() % (max_length + 1), ' ');
        for (char& c : t) {
            c = kAlphabet[random() % 5];
        }
        return t;
    };
    static constexpr char kKinds[] = {'+', '-', '{', '}', 'a'};
    TempDir dir;
    const std::string in_path = dir / "in";
    const std::string out_path = dir / "out";
    for (int round = 0; round < 3000; ++round) {
        const std::string content = text(200);
        std::vector<std::string> args{text(4), text(3)};
        if (args[0].empty()) {
            args[0] = "a";
        }
        const std::size_t conditions = random() % 3;
        for (std::size_t i = 0; i < conditions; ++i) {
            std::string condition = text(2);
            condition.insert(condition.begin(), kKinds[random() % 5]);
            args.push_back(condition);
        }
        const std::size_t block = 1 + random() % 40;
        const bool wholeline = random() % 2 == 0;
        WriterSizes sizes;
        if (random() % 4 != 0) {
            sizes.buffer = 1 + random() % 48;
            sizes.copy_limit =
                random() % 5 == 0 ? std::numeric_limits<std::size_t>::max() : random() % 24;
        }
        write_file(in_path, content);
        const int in = ::open(in_path.c_str(), O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(in, 0);
        ASSERT_GE(out, 0);
        const auto failure = rewrite_stream(
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
    const auto failure = rewrite_stream(in, out, {"a", "b", {}, LineMode::Partial});
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
        const auto failure = rewrite_stream(in, out, {"a", "b", {}, LineMode::Partial}, block);
        ASSERT_TRUE(failure) << block;
        EXPECT_EQ(failure->side, StreamFailure::Side::Write);
        EXPECT_EQ(failure->error, EBADF);
    }
    ::close(in);
    ::close(out);
}

TEST(Failures, MessageAndStatusOfEachKind) {
    struct Row {
        Failure failure;
        ExitStatus status;
        std::string message;
    };
    const std::string noent = std::strerror(ENOENT);
    const std::string acces = std::strerror(EACCES);
    const std::string nospc = std::strerror(ENOSPC);
    const Row rows[] = {
        {{FailureKind::StatInput, ENOENT, "a%s", {}},
         ExitStatus::StatFailed,
         "ERROR: Whilst attempting to get information of 'a%s', system reported: '" + noent +
             "'\n"},
        {{FailureKind::OpenInput, EACCES, "f", {}},
         ExitStatus::InputFailed,
         "Error: Cannot open f (" + acces + ")"},
        {{FailureKind::NotRegular, 0, "d", {}},
         ExitStatus::InputFailed,
         "Error: d is not a regular file\n"},
        {{FailureKind::ReadInput, EACCES, "f", {}},
         ExitStatus::InputFailed,
         "Error: Cannot read f (" + acces + ")\n"},
        {{FailureKind::OpenTemp, EACCES, "f.tmp", {}},
         ExitStatus::OutputFailed,
         "Error: Cannot open f.tmp (" + acces + ")"},
        {{FailureKind::WriteTemp, ENOSPC, "f.tmp", {}},
         ExitStatus::OutputFailed,
         "Error: Cannot write f.tmp (" + nospc + ")\n"},
        {{FailureKind::TempReplaced, 0, "f.tmp", {}},
         ExitStatus::OutputFailed,
         "Error: f.tmp was replaced by another process; the input is unchanged\n"},
        {{FailureKind::Rename, EACCES, "f.tmp", "f"},
         ExitStatus::RenameFailed,
         "ERROR: While attempting to rename temp file 'f.tmp' to 'f', system reported: '" + acces +
             "'\n"},
        {{FailureKind::SetMode, EACCES, "f.tmp", {}},
         ExitStatus::ModeFailed,
         "ERROR: While attempting to set permissions on new file, system reported: '" + acces +
             "'\n"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(failure_message(row.failure), row.message);
        EXPECT_EQ(exit_status(row.failure.kind), row.status) << row.message;
    }
}

}  // namespace
}  // namespace linemorph
