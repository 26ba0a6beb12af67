#include "line_rewriter.h"

namespace linemorph {

namespace {

constexpr std::string_view kLineFeed = "\n";

LineOutput unchanged(std::string_view line) {
    LineOutput out;
    out.parts[0] = line;
    out.count = 1;
    return out;
}

// Partial mode replaces the line's first occurrence, even when only a later one qualified.
LineOutput rewritten(std::string_view line, std::size_t first, const Rule& rule) {
    LineOutput out;
    if (rule.mode == LineMode::WholeLine) {
        out.parts = {rule.replacement, kLineFeed, {}};
        out.count = 2;
    } else {
        out.parts = {line.substr(0, first), rule.replacement,
                     line.substr(first + rule.search.size())};
        out.count = 3;
    }
    return out;
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

bool test_condition(std::string_view line, std::size_t occurrence, std::string_view condition) {
    const Condition parsed = parse_condition(condition);
    // Only the first occurrence of the condition text counts, searched from the line's start.
    const std::size_t found = line.find(parsed.text);
    switch (parsed.kind) {
        case ConditionKind::Present:
            return found != std::string_view::npos;
        case ConditionKind::Absent:
            return found == std::string_view::npos;
        case ConditionKind::Before:
            return found != std::string_view::npos && found <= occurrence;
        case ConditionKind::After:
            return found != std::string_view::npos && found >= occurrence;
    }
    return false;
}

LineOutput rewrite_line(std::string_view line, const Rule& rule) {
    // An empty search string matches nothing (the command line refuses it before any file work).
    const std::size_t first = rule.search.empty() ? std::string_view::npos : line.find(rule.search);
    if (first == std::string_view::npos) {
        return unchanged(line);
    }
    // Conditions are tested in order at each occurrence in turn; one that passed at an earlier
    // occurrence is not tested again (the resume index only moves forward).
    std::size_t resume = 0;
    std::size_t occurrence = first;
    for (;;) {
        while (resume < rule.conditions.size() &&
               test_condition(line, occurrence, rule.conditions[resume])) {
            ++resume;
        }
        if (resume == rule.conditions.size()) {
            return rewritten(line, first, rule);
        }
        // Resume one byte on, so that overlapping occurrences are tested too.
        occurrence = line.find(rule.search, occurrence + 1);
        if (occurrence == std::string_view::npos) {
            return unchanged(line);
        }
    }
}

}  // namespace linemorph
