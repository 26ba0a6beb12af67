// Finding a fixed byte string in large blocks of text, at close to memory speed.
#ifndef LINEMORPH_BYTE_SEARCH_H
#define LINEMORPH_BYTE_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace linemorph {

// Finds one fixed, non-empty byte string. It scans with memchr for the string's rarest byte (by
// how often bytes occur in source code and prose) and confirms each candidate in place; where
// candidates turn out to be frequent, it hands the rest of the block to memmem, so a poor guess
// costs little.
// Gives the position of the first `byte` in `haystack`, or npos: memchr, with the first 32 bytes
// looked at in place, so that a byte close by costs no call.
inline std::size_t find_byte(std::string_view haystack, char byte) {
    std::size_t from = 0;
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(byte);
    for (; from < 32 && from + 16 <= haystack.size(); from += 16) {
        const __m128i bytes =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(haystack.data() + from));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted)));
        if (mask != 0) {
            return from + static_cast<std::size_t>(__builtin_ctz(mask));
        }
    }
#endif
    const void* found = std::memchr(haystack.data() + from, byte, haystack.size() - from);
    return found == nullptr
               ? std::string_view::npos
               : static_cast<std::size_t>(static_cast<const char*>(found) - haystack.data());
}

// Gives the position of the last `byte` in `haystack`, or npos; at memory speed where the C
// library has memrchr.
std::size_t find_last_byte(std::string_view haystack, char byte);

class ByteFinder {
  public:
    explicit ByteFinder(std::string_view needle);

    // Gives the position of the first occurrence of the needle in `haystack`, or npos.
    std::size_t find(std::string_view haystack) const;

  private:
    std::size_t find_from(std::string_view haystack, const char* next) const;
    std::size_t find_pairs(std::string_view haystack, std::size_t from) const;
    std::optional<std::size_t> scan_pairs(std::string_view haystack, std::size_t& from) const;
    bool matches(const char* start) const;

    std::string_view needle_;
    std::size_t rare_index_ = 0;  // where in the needle its rarest byte sits
    std::size_t pair_index_ = 0;  // where its next rarest sits (another place, if it has one)
    // A needle of 4 to 16 bytes is compared as two words that may overlap: its first and its
    // last `word_size_` bytes (8, or 4 below 8 bytes); 0 for other needles, which memcmp compares.
    std::size_t word_size_ = 0;
    std::uint64_t head_ = 0;
    std::uint64_t tail_ = 0;
};

}  // namespace linemorph

#endif
