#include "line_rewriter.h"

#include <gtest/gtest.h>

#include <string>

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
    const Rule rule{"", "X", {"-"}, LineMode::Partial};
    EXPECT_EQ(render(rewrite_line("abc\n", rule)), "abc\n");
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
