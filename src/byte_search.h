// Finding a fixed byte string in large blocks of text, at close to memory speed.
#ifndef LINEMORPH_BYTE_SEARCH_H
#define LINEMORPH_BYTE_SEARCH_H

#include <cstddef>
#include <string_view>

namespace linemorph {

// Finds one fixed, non-empty byte string. It scans with memchr for the string's rarest byte (by
// how often bytes occur in source code and prose) and confirms each candidate in place; where
// candidates turn out to be frequent, it hands the rest of the block to memmem, so a poor guess
// costs little.
class ByteFinder {
  public:
    explicit ByteFinder(std::string_view needle);

    // Gives the position of the first occurrence of the needle in `haystack`, or npos.
    std::size_t find(std::string_view haystack) const;

  private:
    std::string_view needle_;
    std::size_t rare_index_ = 0;  // where in the needle its rarest byte sits
};

}  // namespace linemorph

#endif
