// A plain reference for one line's rewrite: the occurrence walk done step by step, every condition
// text searched again at every occurrence, with no shortcut. The production rewriter must give
// the same bytes for every line.
#ifndef LINEMORPH_TESTS_REFERENCE_REWRITER_H
#define LINEMORPH_TESTS_REFERENCE_REWRITER_H

#include <string>
#include <string_view>
#include <vector>

namespace linemorph::testing {

inline bool reference_condition(std::string_view line, std::size_t occurrence,
                                std::string_view condition) {
    char kind = condition.empty() ? ' ' : condition.front();
    std::string_view text = condition;
    if (kind == '+' || kind == '-' || kind == '{' || kind == '}') {
        text.remove_prefix(1);
    } else {
        kind = '+';
    }
    const std::size_t at = line.find(text);
    switch (kind) {
        case '+':
            return at != std::string_view::npos;
        case '-':
            return at == std::string_view::npos;
        case '{':
            return at != std::string_view::npos && at <= occurrence;
        default:
            return at != std::string_view::npos && at >= occurrence;
    }
}

// Gives the output bytes of `line` for the positional arguments `args` (search, replacement,
// conditions...), in whole-line mode when `wholeline`.
inline std::string reference_rewrite(std::string_view line, const std::vector<std::string>& args,
                                     bool wholeline) {
    const std::string& search = args.at(0);
    const std::string& replacement = args.at(1);
    const std::size_t first = search.empty() ? std::string_view::npos : line.find(search);
    std::size_t occurrence = first;
    std::size_t resume = 2;
    while (occurrence != std::string_view::npos) {
        std::size_t index = resume;
        while (index < args.size() && reference_condition(line, occurrence, args[index])) {
            ++index;
        }
        if (index == args.size()) {
            if (wholeline) {
                return replacement + "\n";
            }
            return std::string(line.substr(0, first)) + replacement +
                   std::string(line.substr(first + search.size()));
        }
        resume = index;
        occurrence = line.find(search, occurrence + 1);
    }
    return std::string(line);
}

// Gives the output bytes of a whole file: `content` split after each line feed, each line
// rewritten on its own by the reference above.
inline std::string reference_rewrite_file(std::string_view content,
                                          const std::vector<std::string>& args, bool wholeline) {
    std::string out;
    while (!content.empty()) {
        const std::size_t feed = content.find('\n');
        const std::size_t length = feed == std::string_view::npos ? content.size() : feed + 1;
        out += reference_rewrite(content.substr(0, length), args, wholeline);
        content.remove_prefix(length);
    }
    return out;
}

}  // namespace linemorph::testing

#endif
