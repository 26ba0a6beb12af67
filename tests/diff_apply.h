// A strict applier of unified diffs in memory, for checking the dry run's diffs without patch:
// every context and removed line must match the old text exactly and every hunk's counts must
// match its lines, or the diff is refused.
#ifndef LINEMORPH_TESTS_DIFF_APPLY_H
#define LINEMORPH_TESTS_DIFF_APPLY_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace linemorph::testing {

// Splits `text` after each line feed; the last line may lack one.
inline std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        const std::size_t length = feed == std::string_view::npos ? text.size() : feed + 1;
        lines.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return lines;
}

// Reads "A" or "A,B" from the front of `text` into `start` and `count` (1 when left out).
inline bool read_range(std::string_view& text, std::size_t& start, std::size_t& count) {
    const auto number = [&](std::size_t& value) {
        if (text.empty() || text.front() < '0' || text.front() > '9') {
            return false;
        }
        value = 0;
        while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
            value = value * 10 + static_cast<std::size_t>(text.front() - '0');
            text.remove_prefix(1);
        }
        return true;
    };
    count = 1;
    if (!number(start)) {
        return false;
    }
    if (!text.empty() && text.front() == ',') {
        text.remove_prefix(1);
        return number(count);
    }
    return true;
}

// Gives `old_text` with `diff` applied, or nothing (and why, in `why`) when the diff does not
// apply exactly. An empty diff gives the old text.
inline std::optional<std::string> apply_unified_diff(std::string_view old_text,
                                                     std::string_view diff, std::string* why) {
    const auto fail = [&](std::string reason) -> std::optional<std::string> {
        *why = std::move(reason);
        return std::nullopt;
    };
    const std::vector<std::string_view> old_lines = split_lines(old_text);
    std::vector<std::string_view> lines = split_lines(diff);
    std::string result;
    std::size_t copied = 0;  // old lines handled so far
    std::size_t at = 0;
    if (lines.empty()) {
        return std::string(old_text);
    }
    if (lines.size() < 2 || lines[0].substr(0, 4) != "--- " || lines[1].substr(0, 4) != "+++ ") {
        return fail("no headers");
    }
    at = 2;
    while (at < lines.size()) {
        std::string_view header = lines[at++];
        if (header.substr(0, 4) != "@@ -") {
            return fail("expected a hunk header: " + std::string(header));
        }
        header.remove_prefix(4);
        std::size_t old_start = 0;
        std::size_t old_count = 0;
        std::size_t new_start = 0;
        std::size_t new_count = 0;
        if (!read_range(header, old_start, old_count) || header.substr(0, 2) != " +") {
            return fail("bad old range");
        }
        header.remove_prefix(2);
        if (!read_range(header, new_start, new_count) || header != " @@\n") {
            return fail("bad new range");
        }
        const std::size_t first = old_count == 0 ? old_start : old_start - 1;
        if (first < copied || first > old_lines.size()) {
            return fail("hunk out of order or past the end");
        }
        for (; copied < first; ++copied) {
            result += old_lines[copied];
        }
        std::size_t removed = 0;
        std::size_t added = 0;
        while (at < lines.size() && lines[at].substr(0, 2) != "@@") {
            std::string_view line = lines[at++];
            const char mark = line.front();
            std::string body(line.substr(1));
            if (at < lines.size() && lines[at] == "\\ No newline at end of file\n") {
                if (body.empty() || body.back() != '\n') {
                    return fail("no-newline marker after a line without a line feed");
                }
                body.pop_back();
                ++at;
            }
            if (mark == ' ' || mark == '-') {
                if (copied >= old_lines.size() || old_lines[copied] != body) {
                    return fail("old line " + std::to_string(copied + 1) + " does not match");
                }
                ++copied;
                ++removed;
            }
            if (mark == ' ' || mark == '+') {
                result += body;
                ++added;
            }
            if (mark != ' ' && mark != '-' && mark != '+') {
                return fail("bad mark");
            }
        }
        if (removed != old_count || added != new_count) {
            return fail("counts do not match the hunk's lines");
        }
    }
    for (; copied < old_lines.size(); ++copied) {
        result += old_lines[copied];
    }
    return result;
}

}  // namespace linemorph::testing

#endif
