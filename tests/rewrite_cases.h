// The table of line rewrites that both the rewriter's tests and the file driver's tests run.
#ifndef LINEMORPH_TESTS_REWRITE_CASES_H
#define LINEMORPH_TESTS_REWRITE_CASES_H

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "line_rewriter.h"

namespace linemorph::testing {

using namespace std::string_literals;

// One line, the positional arguments (search, replacement, conditions...) and the expected output
// in each mode.
struct RewriteCase {
    const char* name;
    std::string line;
    std::vector<std::string> args;
    std::string partial;
    std::string wholeline;
};

inline void PrintTo(const RewriteCase& c, std::ostream* os) {
    *os << c.name;
}

// Gives the rule of the positional arguments `args` (search, replacement, conditions...); the
// rule's views point into `args`.
inline Rule make_rule(const std::vector<std::string>& args, LineMode mode) {
    return linemorph::make_rule(args.at(0), args.at(1), {args.begin() + 2, args.end()}, mode);
}

inline const std::vector<RewriteCase>& rewrite_cases() {
    static const std::vector<RewriteCase> cases = {
        {"first_occurrence_only", "foo bar foo\n", {"foo", "X"}, "X bar foo\n", "X\n"},
        {"no_occurrence", "hello world\n", {"foo", "X"}, "hello world\n", "hello world\n"},
        {"empty_line", "\n", {"foo", "X"}, "\n", "\n"},
        {"before_fails_then_passes_at_later_occurrence",
         "X A B X\n",
         {"X", "Y", "{B"},
         "Y A B X\n",
         "Y\n"},
        {"resume_index_after_passing_condition",
         "X A B X\n",
         {"X", "Y", "}A", "{B"},
         "Y A B X\n",
         "Y\n"},
        {"resume_index_no_occurrence_left",
         "X A B X\n",
         {"X", "Y", "{B", "}A"},
         "X A B X\n",
         "X A B X\n"},
        // }A passed at the first X and is not tested again at the second, where it would fail.
        {"passed_condition_not_retested", "X B A X\n", {"X", "Y", "}A", "{B"}, "Y B A X\n", "Y\n"},
        {"present_plus", "int n = foo;\n", {"foo", "bar", "+int"}, "int n = bar;\n", "bar\n"},
        {"present_plain", "int n = foo;\n", {"foo", "bar", "int"}, "int n = bar;\n", "bar\n"},
        {"present_plus_missing",
         "int n = foo;\n",
         {"foo", "bar", "+char"},
         "int n = foo;\n",
         "int n = foo;\n"},
        {"present_plain_missing",
         "int n = foo;\n",
         {"foo", "bar", "char"},
         "int n = foo;\n",
         "int n = foo;\n"},
        {"absent_found",
         "int n = foo;\n",
         {"foo", "bar", "-int"},
         "int n = foo;\n",
         "int n = foo;\n"},
        {"absent_missing", "int n = foo;\n", {"foo", "bar", "-char"}, "int n = bar;\n", "bar\n"},
        {"all_conditions_must_pass",
         "int n = foo;\n",
         {"foo", "bar", "+int", "-n ="},
         "int n = foo;\n",
         "int n = foo;\n"},
        {"equal_start_passes_before_and_after", "foo\n", {"foo", "X", "{fo", "}fo"}, "X\n", "X\n"},
        {"plus_alone_passes", "a foo\n", {"foo", "X", "+"}, "a X\n", "X\n"},
        {"empty_condition_passes", "a foo\n", {"foo", "X", ""}, "a X\n", "X\n"},
        {"minus_alone_never_passes", "a foo\n", {"foo", "X", "-"}, "a foo\n", "a foo\n"},
        {"open_brace_alone_passes", "a foo\n", {"foo", "X", "{"}, "a X\n", "X\n"},
        {"close_brace_alone_fails_past_first_byte",
         "a foo\n",
         {"foo", "X", "}"},
         "a foo\n",
         "a foo\n"},
        {"close_brace_alone_passes_at_first_byte", "foo a\n", {"foo", "X", "}"}, "X a\n", "X\n"},
        {"after_counts_only_first_occurrence_of_text",
         "a X a\n",
         {"X", "Y", "}a"},
         "a X a\n",
         "a X a\n"},
        {"overlapping_occurrences", "banana\n", {"ana", "Z", "{n"}, "bZna\n", "Z\n"},
        {"last_line_without_line_feed", "foo bar", {"foo", "X"}, "X bar", "X\n"},
        {"last_line_without_line_feed_unchanged", "bar", {"foo", "X"}, "bar", "bar"},
        {"percent_is_not_a_directive", "a foo %d\n", {"foo", "%s%n"}, "a %s%n %d\n", "%s%n\n"},
        {"search_ending_in_line_feed", "foo\n", {"o\n", "0"}, "fo0", "0\n"},
        {"search_is_line_feed", "a\n", {"\n", ";"}, "a;", ";\n"},
        {"crlf_kept", "foo\r\n", {"foo", "X"}, "X\r\n", "X\n"},
        {"empty_replacement", "foo bar\n", {"foo", ""}, " bar\n", "\n"},
        {"nul_bytes_are_ordinary", "a\0foo\0b\n"s, {"foo", "X"}, "a\0X\0b\n"s, "X\n"},
        {"nul_bytes_in_conditions_line", "x\0y foo\n"s, {"foo", "X", "+y"}, "x\0y X\n"s, "X\n"},
        {"case_sensitive", "FOO foo\n", {"foo", "X"}, "FOO X\n", "X\n"},
        {"backslashes_literal", "a\\nfoo\n", {"\\n", "\\t"}, "a\\tfoo\n", "\\t\n"},
    };
    return cases;
}

}  // namespace linemorph::testing

#endif
