// Random rewrite cases for the tests that compare the production code with the plain reference:
// a content (a line or a whole file), the positional arguments and the mode, over a small alphabet
// so that occurrences overlap, straddle line ends and meet the conditions in every order.
#ifndef LINEMORPH_TESTS_RANDOM_CASES_H
#define LINEMORPH_TESTS_RANDOM_CASES_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace linemorph::testing {

// The shape of the cases: the bytes they are made of and how long each part may be.
struct CaseShape {
    std::string_view alphabet;
    std::size_t max_content;
    std::size_t max_search;  // the search string has 1 to this many bytes
    std::size_t max_replacement;
    std::size_t max_conditions;
    std::string_view condition_kinds;  // the first byte of a condition is drawn from these
    std::size_t max_condition_text;
};

// One case: the content, the positional arguments (search, replacement, conditions...) and
// whether the mode is whole-line.
struct RandomCase {
    std::string content;
    std::vector<std::string> args;
    bool wholeline = false;
};

// A repeatable stream of random cases of one shape.
class RandomCases {
  public:
    RandomCases(std::uint32_t seed, CaseShape shape) : random_(seed), shape_(shape) {}

    RandomCase next() {
        RandomCase c;
        c.content = text(0, shape_.max_content);
        c.args = {text(1, shape_.max_search), text(0, shape_.max_replacement)};
        for (std::size_t i = below(shape_.max_conditions + 1); i > 0; --i) {
            c.args.push_back(shape_.condition_kinds[below(shape_.condition_kinds.size())] +
                             text(0, shape_.max_condition_text));
        }
        c.wholeline = below(2) == 0;
        return c;
    }

    // Gives a number in [0, n).
    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }

  private:
    std::string text(std::size_t min_length, std::size_t max_length) {
        std::string t(min_length + below(max_length - min_length + 1), ' ');
        for (char& c : t) {
            c = shape_.alphabet[below(shape_.alphabet.size())];
        }
        return t;
    }

    std::mt19937 random_;
    CaseShape shape_;
};

}  // namespace linemorph::testing

#endif
