// Compares ways of finding a fixed string in source-like text: glibc's memmem, the standard
// library's Boyer-Moore-Horspool searcher and the tool's ByteFinder, on needles that are rare,
// absent, short and common, and long. Prints bytes per second for each.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "byte_search.h"

namespace {

// About 4 MiB of C-like lines, 1% of them holding OLD_NAME.
const std::string& text() {
    static const std::string bytes = [] {
        const char* const plain[] = {
            "    int buffer_12 = count + 7;\n",
            "    if (node->next != NULL) {\n",
            "    }\n",
            "\n",
            "    /* read the token before parsing */\n",
            "static void reader_state(struct parser *p, size_t n)\n",
            "        return handle(config, offset, 4096);\n",
            "#include \"writer/status.h\"\n",
        };
        const char* const hits[] = {"    value = OLD_NAME(data, 3);\n",
                                    "#define OLD_NAME_FLAGS 17\n"};
        std::mt19937 random(7);
        std::string out;
        while (out.size() < (4u << 20)) {
            out += random() % 100 == 0 ? hits[random() % 2] : plain[random() % 8];
        }
        return out;
    }();
    return bytes;
}

const char* const kNeedles[] = {
    "OLD_NAME", "ABSENT_NAME", "e", "int", ";\n", "a_forty_byte_needle_that_never_occurs_xx"};

template <typename Find>
void count_all(benchmark::State& state, Find find) {
    const std::string& hay = text();
    for (auto _ : state) {
        std::size_t count = 0;
        std::string_view rest = hay;
        for (std::size_t at = find(rest); at != std::string_view::npos; at = find(rest)) {
            ++count;
            rest.remove_prefix(at + 1);
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * hay.size()));
    state.SetLabel(kNeedles[state.range(0)]);
}

void Memmem(benchmark::State& state) {
    const std::string_view needle = kNeedles[state.range(0)];
    count_all(state, [&](std::string_view hay) {
        const void* hit = ::memmem(hay.data(), hay.size(), needle.data(), needle.size());
        return hit == nullptr
                   ? std::string_view::npos
                   : static_cast<std::size_t>(static_cast<const char*>(hit) - hay.data());
    });
}

void Horspool(benchmark::State& state) {
    const std::string_view needle = kNeedles[state.range(0)];
    const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
    count_all(state, [&](std::string_view hay) {
        const auto hit = std::search(hay.begin(), hay.end(), searcher);
        return hit == hay.end() ? std::string_view::npos
                                : static_cast<std::size_t>(hit - hay.begin());
    });
}

void RareByte(benchmark::State& state) {
    const linemorph::ByteFinder finder(kNeedles[state.range(0)]);
    count_all(state, [&](std::string_view hay) { return finder.find(hay); });
}

}  // namespace

BENCHMARK(Memmem)->DenseRange(0, 5);
BENCHMARK(Horspool)->DenseRange(0, 5);
BENCHMARK(RareByte)->DenseRange(0, 5);
BENCHMARK_MAIN();
