#include "line_rewriter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "random_cases.h"
#include "reference_rewriter.h"
#include "rewrite_cases.h"

namespace linemorph {
namespace {

std::string render(const LineOutput& output) {
    std::string bytes;
    for (std::size_t i = 0; i < output.count; ++i) {
        bytes += output.parts[i];
    }
    return bytes;
}

class RewriteLineTest : public ::testing::TestWithParam<testing::RewriteCase> {};

TEST_P(RewriteLineTest, PartialMode) {
    const auto& c = GetParam();
    EXPECT_EQ(render(rewrite_line(c.line, testing::make_rule(c.args, LineMode::Partial))),
              c.partial);
}

TEST_P(RewriteLineTest, WholeLineMode) {
    const auto& c = GetParam();
    EXPECT_EQ(render(rewrite_line(c.line, testing::make_rule(c.args, LineMode::WholeLine))),
              c.wholeline);
}

INSTANTIATE_TEST_SUITE_P(Cases, RewriteLineTest, ::testing::ValuesIn(testing::rewrite_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RewriteLine, EmptySearchStringMatchesNothing) {
    const Rule rule = make_rule("", "X", {"-"}, LineMode::Partial);
    EXPECT_EQ(render(rewrite_line("abc\n", rule)), "abc\n");
}

// Random lines and arguments over a small alphabet, so that occurrences overlap and conditions
// pass and fail in every order: the rewriter must agree with the plain step-by-step walk.
TEST(RewriteLine, AgreesWithStepByStepWalk) {
    testing::RandomCases cases(20261210, {"abc\n", 12, 3, 2, 3, "+-{}ab", 2});
    for (int round = 0; round < 200000; ++round) {
        const auto [line, args, wholeline] = cases.next();
        (void)wholeline;  // both modes are tried
        for (const LineMode mode : {LineMode::Partial, LineMode::WholeLine}) {
            const std::string expected =
                testing::reference_rewrite(line, args, mode == LineMode::WholeLine);
            ASSERT_EQ(render(rewrite_line(line, testing::make_rule(args, mode))), expected)
                << "line " << ::testing::PrintToString(line) << " args "
                << ::testing::PrintToString(args);
        }
    }
}

// Many occurrences and a condition that keeps failing: the result at a scale where a walk that
// searches every condition again at every occurrence would not finish in reasonable time.
TEST(RewriteLine, LongLinesWithManyOccurrences) {
    const std::string line = std::string(4000000, 'a') + "b\n";
    const auto out = [&](std::vector<std::string> args) {
        return render(rewrite_line(line, testing::make_rule(args, LineMode::WholeLine)));
    };
    EXPECT_EQ(out({"a", "X", "+ab"}), "X\n");
    EXPECT_EQ(out({"a", "X", "+ba"}), line);
    EXPECT_EQ(out({"a", "X", "{b"}), line);
    EXPECT_EQ(out({"a", "X", "{ab"}), "X\n");
    EXPECT_EQ(out({"a", "X", "{ab", "}ab"}), "X\n");  // both pass at the last "a"
    EXPECT_EQ(out({"a", "X", "}ab", "{ab"}), "X\n");  // "}ab" passed first, not tested again
    EXPECT_EQ(out({"aa", "X", "{ab"}), line);         // no "aa" starts at or after "ab"
    EXPECT_EQ(out({"a", "X", "{ab", "}b", "-c"}), "X\n");
    // Long search and condition texts that nearly match at every byte: a search that compares
    // the whole text at each position would take the line's length times the text's.
    const std::string near = std::string(100000, 'a');
    EXPECT_EQ(out({near + "b", "X"}), "X\n");
    EXPECT_EQ(out({near + "c", "X"}), line);
    EXPECT_EQ(out({"b", "X", "+" + near + "c"}), line);
    EXPECT_EQ(out({"b", "X", "}" + near + "b"}), line);
    EXPECT_EQ(out({"b", "X", "{" + near + "b"}), "X\n");
}

TEST(ParseCondition, KindAndTextByFirstByte) {
    struct Row {
        std::string_view arg;
        ConditionKind kind;
        std::string_view text;
    };
    const Row rows[] = {
        {"+int", ConditionKind::Present, "int"}, {"-int", ConditionKind::Absent, "int"},
        {"{int", ConditionKind::Before, "int"},  {"}int", ConditionKind::After, "int"},
        {"int", ConditionKind::Present, "int"},  {"", ConditionKind::Present, ""},
        {"++", ConditionKind::Present, "+"},     {"-", ConditionKind::Absent, ""},
        {" -x", ConditionKind::Present, " -x"},
    };
    for (const Row& row : rows) {
        const Condition parsed = parse_condition(row.arg);
        EXPECT_EQ(parsed.kind, row.kind) << row.arg;
        EXPECT_EQ(parsed.text, row.text) << row.arg;
    }
}

TEST(TestCondition, ComparesStartOfFirstOccurrence) {
    struct Row {
        std::string_view line;
        std::size_t occurrence;
        std::string_view condition;
        bool passes;
    };
    // "ab ab cd": "ab" first starts at 0, "cd" at 6.
    const Row rows[] = {
        {"ab ab cd", 3, "{ab", true}, {"ab ab cd", 3, "}ab", false}, {"ab ab cd", 6, "{cd", true},
        {"ab ab cd", 7, "{cd", true}, {"ab ab cd", 5, "{cd", false}, {"ab ab cd", 6, "}cd", true},
        {"ab ab cd", 0, "}cd", true}, {"ab ab cd", 3, "{zz", false}, {"ab ab cd", 3, "}zz", false},
        {"ab ab cd", 3, "-zz", true}, {"ab ab cd", 3, "+cd", true},  {"ab ab cd", 0, "}", true},
        {"ab ab cd", 1, "}", false},  {"ab ab cd", 7, "{", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(test_condition(row.line, row.occurrence, row.condition), row.passes)
            << "condition '" << row.condition << "' at " << row.occurrence;
    }
}

}  // namespace
}  // namespace linemorph
