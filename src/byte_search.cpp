#include "byte_search.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace linemorph {

namespace {

// How common a byte is in source code and prose, from 0 (rare) to 255: a rough ranking is all
// the choice of byte needs.
constexpr std::array<unsigned char, 256> make_commonness() {
    std::array<unsigned char, 256> rank{};
    for (int c = 0; c < 256; ++c) {
        rank[c] = 40;  // control bytes and bytes above 127
    }
    for (int c = '!'; c <= '~'; ++c) {
        rank[c] = 100;  // punctuation
    }
    for (int c = 'A'; c <= 'Z'; ++c) {
        rank[c] = 120;
    }
    for (const char c : std::string_view("ETAOINSRCLDP")) {
        rank[static_cast<unsigned char>(c)] = 140;
    }
    for (int c = '0'; c <= '9'; ++c) {
        rank[c] = 160;
    }
    for (const char c : std::string_view("()[]{};,._=*/-+\"'<>:&#")) {
        rank[static_cast<unsigned char>(c)] = 180;
    }
    for (int c = 'a'; c <= 'z'; ++c) {
        rank[c] = 200;
    }
    for (const char c : std::string_view("bcdfgmpuwy")) {
        rank[static_cast<unsigned char>(c)] = 215;
    }
    for (const char c : std::string_view("acdhilnorst")) {
        rank[static_cast<unsigned char>(c)] = 230;
    }
    for (const char c : std::string_view("eaiot")) {
        rank[static_cast<unsigned char>(c)] = 240;
    }
    rank[static_cast<unsigned char>('e')] = 245;
    rank[static_cast<unsigned char>('_')] = 240;  // in C, more common than most letters
    rank[static_cast<unsigned char>('\t')] = 200;
    rank[static_cast<unsigned char>('\n')] = 250;
    rank[static_cast<unsigned char>(' ')] = 255;
    return rank;
}

constexpr std::array<unsigned char, 256> kCommonness = make_commonness();

// Gives the `Word` whose bytes, in memory order, are those at `at`.
template <typename Word>
Word load_word(const char* at) {
    Word word{};
    std::memcpy(&word, at, sizeof word);
    return word;
}

// After this many candidates that were not occurrences, a block where they come more often than
// one per kMinBytesPerCandidate bytes plus the needle's length is searched by memmem instead:
// confirming a candidate can cost up to the needle's length, and memmem's cost never grows
// with it.
constexpr std::size_t kCandidateAllowance = 16;
constexpr std::size_t kMinBytesPerCandidate = 256;

}  // namespace

std::size_t find_last_byte(std::string_view haystack, char byte) {
#if (defined(__GLIBC__) && defined(_GNU_SOURCE)) || defined(__FreeBSD__)
    const void* found = ::memrchr(haystack.data(), byte, haystack.size());
    return found == nullptr
               ? std::string_view::npos
               : static_cast<std::size_t>(static_cast<const char*>(found) - haystack.data());
#else
    return haystack.rfind(byte);
#endif
}

ByteFinder::ByteFinder(std::string_view needle) : needle_(needle) {
    for (std::size_t i = 1; i < needle_.size(); ++i) {
        if (kCommonness[static_cast<unsigned char>(needle_[i])] <
            kCommonness[static_cast<unsigned char>(needle_[rare_index_])]) {
            rare_index_ = i;
        }
    }
    pair_index_ = rare_index_ == 0 ? 1 : 0;
    for (std::size_t i = pair_index_ + 1; i < needle_.size(); ++i) {
        if (i != rare_index_ && kCommonness[static_cast<unsigned char>(needle_[i])] <
                                    kCommonness[static_cast<unsigned char>(needle_[pair_index_])]) {
            pair_index_ = i;
        }
    }
    if (needle_.size() >= 8 && needle_.size() <= 16) {
        word_size_ = 8;
        head_ = load_word<std::uint64_t>(needle_.data());
        tail_ = load_word<std::uint64_t>(needle_.data() + needle_.size() - 8);
    } else if (needle_.size() >= 4 && needle_.size() < 8) {
        word_size_ = 4;
        head_ = load_word<std::uint32_t>(needle_.data());
        tail_ = load_word<std::uint32_t>(needle_.data() + needle_.size() - 4);
    }
}

// Gives whether the needle occurs at `start`, where it fits. Short needles are compared word by
// word in place: the candidates of a dense search would otherwise each cost a call of memcmp.
bool ByteFinder::matches(const char* start) const {
    const std::size_t size = needle_.size();
    if (word_size_ == 8) {
        return load_word<std::uint64_t>(start) == head_ &&
               load_word<std::uint64_t>(start + size - 8) == tail_;
    }
    if (word_size_ == 4) {
        return load_word<std::uint32_t>(start) == head_ &&
               load_word<std::uint32_t>(start + size - 4) == tail_;
    }
    return std::memcmp(start, needle_.data(), size) == 0;
}

std::size_t ByteFinder::find(std::string_view haystack) const {
    const std::size_t size = needle_.size();
    if (size == 0 || size > haystack.size()) {
        return std::string_view::npos;
    }
    // The first candidate is tried here, the rest by find_from(): where most lines hold the
    // needle, most searches end at their first candidate. Its rare byte lies where a whole
    // occurrence still fits.
    const std::size_t start =
        find_byte(std::string_view(haystack.data() + rare_index_, haystack.size() - size + 1),
                  needle_[rare_index_]);
    if (start == std::string_view::npos) {
        return std::string_view::npos;
    }
    if (matches(haystack.data() + start)) {
        return start;
    }
    return find_from(haystack, haystack.data() + start + rare_index_ + 1);
}

// find() past its first candidate: candidates for the rare byte lie in [next, last], where a whole
// occurrence still fits.
[[gnu::noinline]] std::size_t ByteFinder::find_from(std::string_view haystack,
                                                    const char* next) const {
    const std::size_t size = needle_.size();
    const char* const begin = haystack.data();
    const char rare = needle_[rare_index_];
    const char* const last = begin + (haystack.size() - size) + rare_index_;
    std::size_t misses = 1;
    while (next <= last) {
        const void* found = std::memchr(next, rare, static_cast<std::size_t>(last - next) + 1);
        if (found == nullptr) {
            return std::string_view::npos;
        }
        const char* const start = static_cast<const char*>(found) - rare_index_;
        if (matches(start)) {
            return static_cast<std::size_t>(start - begin);
        }
        next = static_cast<const char*>(found) + 1;
        if (++misses > kCandidateAllowance &&
            static_cast<std::size_t>(next - begin) < misses * (kMinBytesPerCandidate + size)) {
            return find_pairs(haystack, static_cast<std::size_t>(start + 1 - begin));
        }
    }
    return std::string_view::npos;
}

// find() from byte `from` on, where the rarest byte alone gave too many candidates: a candidate
// now needs the two rarest bytes in their places. Where even those come thick, memmem takes over.
std::size_t ByteFinder::find_pairs(std::string_view haystack, std::size_t from) const {
    const std::size_t size = needle_.size();
    if (const auto decided = scan_pairs(haystack, from)) {
        return *decided;
    }
    if (from + size > haystack.size()) {
        return std::string_view::npos;
    }
    const char* const begin = haystack.data();
    const void* hit = ::memmem(begin + from, haystack.size() - from, needle_.data(), size);
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - begin);
}

// Tests the starts from `from` on, 16 at a time, for the two rarest bytes in their places, and
// confirms each such candidate. Gives the first occurrence, or npos, once decided; gives nothing
// when the rest, from the updated `from`, is left to memmem: where the machine has no 16-byte
// comparisons, the needle no two bytes, or the candidates came thick.
std::optional<std::size_t> ByteFinder::scan_pairs(std::string_view haystack,
                                                  std::size_t& from) const {
#if defined(__SSE2__)
    const std::size_t size = needle_.size();
    if (size < 2) {
        return std::nullopt;
    }
    const char* const begin = haystack.data();
    const std::size_t first = from;
    const std::size_t reach = std::max(rare_index_, pair_index_) + 16;
    const __m128i rare = _mm_set1_epi8(needle_[rare_index_]);
    const __m128i pair = _mm_set1_epi8(needle_[pair_index_]);
    std::size_t misses = 0;
    // Every byte a step loads lies in the haystack.
    for (; from + reach <= haystack.size() && from + size <= haystack.size(); from += 16) {
        const __m128i rare_bytes =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + from + rare_index_));
        const __m128i pair_bytes =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + from + pair_index_));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(rare_bytes, rare), _mm_cmpeq_epi8(pair_bytes, pair))));
        for (; mask != 0; mask &= mask - 1) {
            const std::size_t start = from + static_cast<std::size_t>(__builtin_ctz(mask));
            if (start + size > haystack.size()) {
                return std::string_view::npos;
            }
            if (matches(begin + start)) {
                return start;
            }
            if (++misses > kCandidateAllowance &&
                start - first < misses * (kMinBytesPerCandidate + size)) {
                from = start + 1;
                return std::nullopt;
            }
        }
    }
#else
    (void)haystack;
    (void)from;
#endif
    return std::nullopt;
}

}  // namespace linemorph
