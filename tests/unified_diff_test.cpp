// The hunk builder and the diff printer on their own: which lines make a hunk, where hunks merge
// or part, how the memory bound cuts them, and the exact text of diff -u.
#include "unified_diff.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support.h"

namespace linemorph {
namespace {

using testing::read_file;
using testing::TempDir;

// One event handed to the builder: an unchanged line, or old lines replaced by new ones.
struct Event {
    enum class Kind { Equal, Change } kind;
    std::string removed;  // the unchanged line, for Equal
    std::string added;
};

Event eq(std::string line) {
    return {Event::Kind::Equal, std::move(line), {}};
}
Event ch(std::string removed, std::string added) {
    return {Event::Kind::Change, std::move(removed), std::move(added)};
}

// `count` unchanged lines "l<from>\n" ... as single events.
std::vector<Event> equals(int from, int count) {
    std::vector<Event> events;
    for (int i = from; i < from + count; ++i) {
        events.push_back(eq("l" + std::to_string(i) + "\n"));
    }
    return events;
}

std::vector<Event> join(std::initializer_list<std::vector<Event>> parts) {
    std::vector<Event> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

void feed(HunkBuilder& builder, const std::vector<Event>& events) {
    for (const Event& event : events) {
        if (event.kind == Event::Kind::Equal) {
            builder.equal(event.removed);
        } else {
            builder.change(event.removed, event.added);
        }
    }
    builder.finish();
}

// Gives the diff the builder and the printer make of `events`, labelled "f".
std::string diff_of(const std::vector<Event>& events, std::size_t bound = kHunkBound) {
    TempDir dir;
    const std::string path = dir / "diff";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    DiffPrinter printer(fd, "f");
    HunkBuilder builder(bound, printer);
    feed(builder, events);
    EXPECT_EQ(printer.finish(), 0);
    ::close(fd);
    return read_file(path);
}

struct DiffCase {
    const char* name;
    std::vector<Event> events;
    std::string diff;
};

void PrintTo(const DiffCase& c, std::ostream* os) {
    *os << c.name;
}

class UnifiedDiffTest : public ::testing::TestWithParam<DiffCase> {};

TEST_P(UnifiedDiffTest, AsDiffU) {
    EXPECT_EQ(diff_of(GetParam().events), GetParam().diff);
}

const std::string kHeader = "--- f\n+++ f\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, UnifiedDiffTest,
    ::testing::Values(
        DiffCase{"nothing_changed", equals(1, 5), ""},
        DiffCase{"change_in_the_middle_shows_three_lines_each_side",
                 join({equals(1, 5), {ch("a\n", "b\n")}, equals(7, 5)}),
                 kHeader + "@@ -3,7 +3,7 @@\n l3\n l4\n l5\n-a\n+b\n l7\n l8\n l9\n"},
        DiffCase{"change_on_the_first_line", join({{ch("a\n", "b\n")}, equals(2, 4)}),
                 kHeader + "@@ -1,4 +1,4 @@\n-a\n+b\n l2\n l3\n l4\n"},
        DiffCase{"change_on_the_last_line_keeps_all_context_before",
                 join({equals(1, 4), {ch("a\n", "b\n")}}),
                 kHeader + "@@ -2,4 +2,4 @@\n l2\n l3\n l4\n-a\n+b\n"},
        DiffCase{"six_lines_apart_share_a_hunk",
                 join({{ch("a\n", "b\n")}, equals(2, 6), {ch("c\n", "d\n")}}),
                 kHeader + "@@ -1,8 +1,8 @@\n-a\n+b\n l2\n l3\n l4\n l5\n l6\n l7\n-c\n+d\n"},
        DiffCase{"seven_lines_apart_make_two_hunks",
                 join({{ch("a\n", "b\n")}, equals(2, 7), {ch("c\n", "d\n")}}),
                 kHeader + "@@ -1,4 +1,4 @@\n-a\n+b\n l2\n l3\n l4\n@@ -6,4 +6,4 @@\n l6\n l7\n "
                           "l8\n-c\n+d\n"},
        DiffCase{"back_to_back_changes_make_one_change_old_lines_first",
                 {ch("a\n", "b\n"), ch("c\n", "d\n")},
                 kHeader + "@@ -1,2 +1,2 @@\n-a\n-c\n+b\n+d\n"},
        DiffCase{"lines_only_removed", join({equals(1, 1), {ch("a\nb\n", "")}}),
                 kHeader + "@@ -1,3 +1 @@\n l1\n-a\n-b\n"},
        DiffCase{
            "lines_only_added_to_an_empty_input", {ch("", "a\n")}, kHeader + "@@ -0,0 +1 @@\n+a\n"},
        DiffCase{"last_line_without_line_feed",
                 {ch("a", "b")},
                 kHeader + "@@ -1 +1 @@\n-a\n\\ No newline at end of file\n+b\n\\ No newline "
                           "at end of file\n"},
        DiffCase{"empty_change_is_no_change", {eq("a\n"), ch("", ""), eq("b\n")}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Records the hunks it is handed, with copies of their lines.
class HunkRecorder final : public HunkSink {
  public:
    struct Recorded {
        std::size_t old_before;
        std::size_t new_before;
        std::string text;   // every line with its mark
        std::size_t bytes;  // the bytes of lines held
    };

    void hunk(const Hunk& hunk) override {
        Recorded recorded{hunk.old_before, hunk.new_before, "", 0};
        for (const HunkPart& part : hunk.parts) {
            for (std::string_view rest = part.lines; !rest.empty();) {
                const std::string_view line = first_line(rest);
                recorded.text += part.mark;
                recorded.text += line;
                rest.remove_prefix(line.size());
            }
            recorded.bytes += part.lines.size();
        }
        hunks.push_back(recorded);
    }

    std::vector<Recorded> hunks;
};

// A change larger than the bound is handed on at once, with no context after it and so none
// before it; the lines after it start afresh.
TEST(HunkBuilder, ChangeBeyondTheBoundIsHandedOnAtOnce) {
    HunkRecorder recorder;
    HunkBuilder builder(16, recorder);
    feed(builder, join({equals(1, 3),
                        {ch("old line one\n", "new line number one\n")},
                        equals(4, 3),
                        {ch("x\n", "y\n")}}));
    ASSERT_EQ(recorder.hunks.size(), 2u);
    EXPECT_EQ(recorder.hunks[0].old_before, 3u);
    EXPECT_EQ(recorder.hunks[0].text, "-old line one\n+new line number one\n");
    EXPECT_EQ(recorder.hunks[1].old_before, 4u);
    EXPECT_EQ(recorder.hunks[1].text, " l4\n l5\n l6\n-x\n+y\n");
}

// Whatever the lines, no hunk holds more than the bound beyond the change that overflowed it, and
// counting the lines the hunks skip and show gives back both sides' lengths.
TEST(HunkBuilder, HunksStayWithinTheBound) {
    const std::size_t bound = 40;
    std::vector<Event> events;
    std::size_t old_lines = 0;
    for (int i = 0; i < 300; ++i) {
        if (i % 5 == 0) {
            events.push_back(
                ch("old " + std::to_string(i) + "\n", "new " + std::to_string(i) + "\n"));
        } else {
            events.push_back(eq("same " + std::to_string(i) + "\n"));
        }
        ++old_lines;
    }
    HunkRecorder recorder;
    HunkBuilder builder(bound, recorder);
    feed(builder, events);
    ASSERT_FALSE(recorder.hunks.empty());
    std::size_t next_old = 0;
    for (const auto& hunk : recorder.hunks) {
        EXPECT_LE(hunk.bytes, bound + 16) << hunk.text;
        EXPECT_GE(hunk.old_before, next_old) << "hunks overlap or go backwards";
        next_old = hunk.old_before;
    }
    EXPECT_LE(next_old, old_lines);
}

}  // namespace
}  // namespace linemorph
