// The line rewriter: decides whether one line is rewritten and gives its one output form.
// Pure: no I/O, no state kept between calls.
#ifndef LINEMORPH_LINE_REWRITER_H
#define LINEMORPH_LINE_REWRITER_H

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

namespace linemorph {

// How a qualifying line is written: its first occurrence replaced, or the whole line replaced.
enum class LineMode { Partial, WholeLine };

// What a condition argument demands, taken from its first byte.
enum class ConditionKind { Present, Absent, Before, After };

// A condition argument split into its kind and the text it searches for.
struct Condition {
    ConditionKind kind;
    std::string_view text;
};

// One edit: the search string (never empty), its replacement, the conditions in command-line
// order, and the output form of a qualifying line. The views point into the command line.
struct Rule {
    std::string_view search;
    std::string_view replacement;
    std::vector<Condition> conditions;
    LineMode mode = LineMode::Partial;
};

// Which output form a line takes.
enum class OutputForm {
    Unchanged,  // the line as it is: parts[0] is the line
    Replaced,   // its first occurrence replaced: before, replacement, after
    WholeLine,  // the replacement text and one line feed
};

// The output form of one line: its bytes are parts[0..count) written in order. The views point
// into the line, into the rule's texts, or at static storage.
struct LineOutput {
    OutputForm form = OutputForm::Unchanged;
    std::array<std::string_view, 3> parts{};
    std::size_t count = 0;

    bool changed() const { return form != OutputForm::Unchanged; }
};

// Gives the output form of `line` (its line feed included, if it has one) under `rule`: the line
// unchanged, the line with its first occurrence of the search string replaced, or (whole-line
// mode) the replacement text and one line feed.
LineOutput rewrite_line(std::string_view line, const Rule& rule);

// Gives what rewrite_line gives, for a line whose first occurrence of the search string is known
// to start at byte `first`: the read loop has found it already, and need not search again.
LineOutput rewrite_line_at(std::string_view line, const Rule& rule, std::size_t first);

// Gives true when `condition` passes for the occurrence of the search string that starts at byte
// `occurrence` of `line`.
bool test_condition(std::string_view line, std::size_t occurrence, std::string_view condition);

// Gives the rule the positional arguments make: the search string, the replacement and the
// condition arguments, each condition parsed once here rather than for every line.
Rule make_rule(std::string_view search, std::string_view replacement,
               const std::vector<std::string_view>& conditions, LineMode mode);

// Splits a condition argument by its first byte: "+", "-", "{", "}" select a kind and are not part
// of the text; any other argument, the empty one included, is Present with the whole argument.
Condition parse_condition(std::string_view condition);

}  // namespace linemorph

#endif
