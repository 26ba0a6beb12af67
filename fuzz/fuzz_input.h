// The byte layouts the fuzz targets read their input in, shared with the seed writer so that the
// seeds taken from the test tables say what the targets understand.
#ifndef LINEMORPH_FUZZ_FUZZ_INPUT_H
#define LINEMORPH_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace linemorph::fuzzing {

// A rewrite case: the block size (0 stands for the default), whole-line mode, the positional
// arguments (search, replacement, conditions) and the file's bytes.
//
// Layout: two bytes of block size (little-endian), one byte of flags (bit 0: whole-line mode,
// bits 1-3: the number of conditions), then the search string, the replacement and each
// condition, each ended by a zero byte (arguments cannot hold one), then the file's bytes. An
// input that ends early leaves the missing arguments empty.
struct RewriteInput {
    std::size_t block_size = 0;
    bool wholeline = false;
    std::vector<std::string> args;
    std::string_view content;
};

inline std::string_view take_argument(std::string_view& data) {
    const std::size_t end = data.find('\0');
    const std::string_view arg = data.substr(0, end);
    data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
    return arg;
}

inline RewriteInput parse_rewrite_input(std::string_view data) {
    RewriteInput input;
    const auto byte = [&](std::size_t i) {
        return i < data.size() ? static_cast<unsigned char>(data[i]) : 0u;
    };
    input.block_size = byte(0) | (byte(1) << 8);
    input.wholeline = (byte(2) & 1) != 0;
    const std::size_t conditions = (byte(2) >> 1) & 7;
    data.remove_prefix(data.size() < 3 ? data.size() : 3);
    for (std::size_t i = 0; i < 2 + conditions; ++i) {
        input.args.emplace_back(take_argument(data));
    }
    input.content = data;
    return input;
}

inline std::string make_rewrite_input(std::uint16_t block_size, bool wholeline,
                                      const std::vector<std::string>& args,
                                      std::string_view content) {
    std::string data;
    data += static_cast<char>(block_size & 0xff);
    data += static_cast<char>(block_size >> 8);
    const std::size_t conditions = args.size() < 2 ? 0 : args.size() - 2;
    data += static_cast<char>((wholeline ? 1 : 0) | (conditions & 7) << 1);
    for (std::size_t i = 0; i < 2 + (conditions & 7); ++i) {
        data += i < args.size() ? args[i] : "";
        data += '\0';
    }
    data += content;
    return data;
}

// An argument vector: its strings, the program's name included, each ended by a zero byte (the
// last one may lack it). An empty input is an empty vector.
inline std::vector<std::string> parse_argument_vector(std::string_view data) {
    std::vector<std::string> args;
    while (!data.empty()) {
        args.emplace_back(take_argument(data));
    }
    return args;
}

inline std::string make_argument_vector(const std::vector<std::string>& args) {
    std::string data;
    for (const auto& arg : args) {
        data += arg;
        data += '\0';
    }
    return data;
}

}  // namespace linemorph::fuzzing

#endif
