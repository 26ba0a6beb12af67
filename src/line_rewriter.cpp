#include "line_rewriter.h"

#include <cstring>

namespace linemorph {

namespace {

// Gives where `text` first starts in `line` at or after `from`, or npos; an empty text starts at
// `from`. Linear in the line's length whatever the text (memmem searches in linear time), where
// a plain first-byte-then-compare search costs the line's length times the text's on a long line
// of near misses.
std::size_t find(std::string_view line, std::string_view text, std::size_t from = 0) {
    if (from > line.size()) {
        return std::string_view::npos;
    }
    if (text.empty()) {
        return from;
    }
    const void* hit = ::memmem(line.data() + from, line.size() - from, text.data(), text.size());
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - line.data());
}

constexpr std::string_view kLineFeed = "\n";

LineOutput unchanged(std::string_view line) {
    return {OutputForm::Unchanged, {line, {}, {}}, 1};
}

// Partial mode replaces the line's first occurrence, even when only a later one qualified.
// `first` is where an occurrence starts, so the search string fits in the line after it.
LineOutput rewritten(std::string_view line, std::size_t first, const Rule& rule) {
    if (rule.mode == LineMode::WholeLine) {
        return {OutputForm::WholeLine, {rule.replacement, kLineFeed, {}}, 2};
    }
    const std::size_t after = first + rule.search.size();
    return {OutputForm::Replaced,
            {std::string_view(line.data(), first), rule.replacement,
             std::string_view(line.data() + after, line.size() - after)},
            3};
}

// Gives whether a condition of `kind`, whose text first starts at `at` in the line (npos: nowhere),
// passes at the occurrence starting at `occurrence`.
bool passes(ConditionKind kind, std::size_t at, std::size_t occurrence) {
    const bool found = at != std::string_view::npos;
    switch (kind) {
        case ConditionKind::Present:
            return found;
        case ConditionKind::Absent:
            return !found;
        case ConditionKind::Before:
            return found && at <= occurrence;
        case ConditionKind::After:
            return found && at >= occurrence;
    }
    return false;
}

}  // namespace

Condition parse_condition(std::string_view condition) {
    if (!condition.empty()) {
        switch (condition.front()) {
            case '+':
                return {ConditionKind::Present, condition.substr(1)};
            case '-':
                return {ConditionKind::Absent, condition.substr(1)};
            case '{':
                return {ConditionKind::Before, condition.substr(1)};
            case '}':
                return {ConditionKind::After, condition.substr(1)};
            default:
                break;
        }
    }
    return {ConditionKind::Present, condition};
}

Rule make_rule(std::string_view search, std::string_view replacement,
               const std::vector<std::string_view>& conditions, LineMode mode) {
    Rule rule{search, replacement, {}, mode};
    rule.conditions.reserve(conditions.size());
    for (const std::string_view condition : conditions) {
        rule.conditions.push_back(parse_condition(condition));
    }
    return rule;
}

bool test_condition(std::string_view line, std::size_t occurrence, std::string_view condition) {
    const Condition parsed = parse_condition(condition);
    return passes(parsed.kind, find(line, parsed.text), occurrence);
}

LineOutput rewrite_line(std::string_view line, const Rule& rule) {
    // An empty search string matches nothing (the command line refuses it before any file work).
    const std::size_t first =
        rule.search.empty() ? std::string_view::npos : find(line, rule.search);
    if (first == std::string_view::npos) {
        return unchanged(line);
    }
    return rewrite_line_at(line, rule, first);
}

namespace {

// Gives whether the conditions let `line`, whose first occurrence of the search string starts at
// `first`, be rewritten. Kept out of line: a rule without conditions, the common case, then
// pays nothing for the walk.
[[gnu::noinline]] bool conditions_pass(std::string_view line, const Rule& rule, std::size_t first) {
    // The walk: conditions are tested in order at one occurrence after another (overlapping ones
    // included); one that failed is tested again at the next occurrence, one that passed is not
    // tested again. A condition depends on the occurrence only through the first position of its
    // text, so each text is searched once, and the walk jumps straight to the first occurrence
    // where the failing condition can pass, or stops where none can: linear in the line's length.
    std::size_t occurrence = first;
    for (const Condition& condition : rule.conditions) {
        const std::size_t at = find(line, condition.text);
        if (passes(condition.kind, at, occurrence)) {
            continue;
        }
        // Present, Absent and a missing text give the same answer at every occurrence; After
        // fails ever after once an occurrence starts past the text. Only Before, whose text
        // starts after this occurrence, passes at a later one: the first starting at or after it.
        if (condition.kind != ConditionKind::Before || at == std::string_view::npos) {
            return false;
        }
        occurrence = find(line, rule.search, at);
        if (occurrence == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

LineOutput rewrite_line_at(std::string_view line, const Rule& rule, std::size_t first) {
    if (!rule.conditions.empty() && !conditions_pass(line, rule, first)) {
        return unchanged(line);
    }
    return rewritten(line, first, rule);
}

}  // namespace linemorph
