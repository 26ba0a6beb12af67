#include "byte_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace linemorph {
namespace {

TEST(ByteFinder, FindsTheFirstOccurrence) {
    struct Row {
        std::string haystack;
        std::string needle;
        std::size_t expected;
    };
    const std::size_t npos = std::string::npos;
    const Row rows[] = {
        {"", "a", npos},
        {"a", "a", 0},
        {"ab", "abc", npos},
        {"xxOLD_NAMExxOLD_NAME", "OLD_NAME", 2},
        {"OLD_NAM", "OLD_NAME", npos},           // cut short at the end
        {"xxxxxxxxOLD_NAME", "OLD_NAME", 8},     // at the very end
        {"LLLLLLLLLLOLD_NAME", "OLD_NAME", 10},  // the rare byte repeated before the start
        {std::string("a\0b\0c", 5), std::string("\0c", 2), 3},
        {"line\r\nnext\n", "\r\n", 4},
        {"OLD_NAMX OLD_NAME", "OLD_NAME", 9},               // the last byte differs
        {"abcd_fghijkl abcdefghijkl", "abcdefghijkl", 13},  // a middle byte differs
        {"aXcde abcde", "abcde", 6},                        // the words overlap
        {"abcdefghijklmnoX abcdefghijklmnop", "abcdefghijklmnop", 17},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ByteFinder(row.needle).find(row.haystack), row.expected)
            << row.haystack << " / " << row.needle;
    }
}

// Candidates for the needle's rarest byte so dense that the search changes method part way:
// occurrences before and after that point must both be found.
TEST(ByteFinder, DenseCandidatesThenAnOccurrence) {
    for (const std::size_t before : {0, 10, 300, 5000, 100000}) {
        const std::string haystack = std::string(before, 'Q') + "QZ" + std::string(50, 'Q');
        EXPECT_EQ(ByteFinder("QZ").find(haystack), before) << before;
        EXPECT_EQ(ByteFinder("QQZ").find(haystack), before == 0 ? std::string::npos : before - 1);
    }
}

// Random haystacks and needles over a small alphabet agree with std::string_view::find.
TEST(ByteFinder, AgreesWithStringFind) {
    std::mt19937 random(20261210);
    const auto text = [&](std::size_t min_length, std::size_t max_length) {
        static constexpr char kAlphabet[] = {'a', 'b', 'L', '_', '\n'};
        std::string t(min_length + random() % (max_length - min_length + 1), ' ');
        for (char& c : t) {
            c = kAlphabet[random() % 5];
        }
        return t;
    };
    for (int round = 0; round < 100000; ++round) {
        const std::string haystack = text(0, round % 10 == 0 ? 3000 : 60);
        // Lengths 1 to 20: compared byte by byte, as two 4-byte or 8-byte words, or by memcmp.
        const std::string needle = text(1, round % 4 == 0 ? 20 : 5);
        ASSERT_EQ(ByteFinder(needle).find(haystack), std::string_view(haystack).find(needle))
            << haystack << " / " << needle;
    }
}

// The byte at every place before, inside and past the stretch looked at in place, and absent.
TEST(FindByte, AgreesWithStringFind) {
    for (std::size_t size = 0; size <= 80; ++size) {
        for (std::size_t at = 0; at <= size; ++at) {
            std::string haystack(size, 'a');
            if (at < size) {
                haystack[at] = '\n';
                if (at + 3 < size) {
                    haystack[at + 3] = '\n';  // only the first counts
                }
            }
            ASSERT_EQ(find_byte(haystack, '\n'), haystack.find('\n')) << size << " " << at;
            ASSERT_EQ(find_last_byte(haystack, '\n'), haystack.rfind('\n')) << size << " " << at;
        }
    }
}

// Haystacks where the needle's rarest byte, or its two rarest, come thick, so that the search
// changes method part way, once or twice; needles cut from the haystack itself occur in it, at
// every distance from its end.
TEST(ByteFinder, ThickCandidatesAgreeWithStringFind) {
    std::mt19937 random(20261211);
    static constexpr char kAlphabet[] = {'v', '(', 'e', 'd', '_', 'r', ' '};
    for (int round = 0; round < 20000; ++round) {
        std::string haystack(random() % 1200, ' ');
        const std::size_t letters = 2 + random() % 6;
        for (char& c : haystack) {
            c = kAlphabet[random() % letters];
        }
        std::string needle;
        if (haystack.size() >= 2 && random() % 2 == 0) {
            const std::size_t length =
                2 + random() % std::min<std::size_t>(30, haystack.size() - 1);
            needle = haystack.substr(random() % (haystack.size() - length + 1), length);
        } else {
            needle = "dev_err(";
        }
        ASSERT_EQ(ByteFinder(needle).find(haystack), std::string_view(haystack).find(needle))
            << haystack << " / " << needle;
    }
}

}  // namespace
}  // namespace linemorph
