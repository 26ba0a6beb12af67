#include "cli.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "messages.h"

namespace linemorph {
namespace {

std::vector<const char*> argv_of(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"linemorph"};
    for (const auto& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    return argv;
}

TEST(ParseOptions, Table) {
    struct Row {
        std::vector<std::string> args;
        bool recognised;
        int first_positional;
        std::string input_path;
        LineMode mode;
        RunMode run_mode = RunMode::InPlace;
        LinkHandling links = LinkHandling::Replace;
    };
    const auto P = LineMode::Partial;
    const auto W = LineMode::WholeLine;
    const auto I = RunMode::InPlace;
    const auto D = RunMode::DryRun;
    const auto F = LinkHandling::Follow;
    const Row rows[] = {
        {{}, true, 1, "", P},
        {{"a"}, true, 1, "", P},
        {{"a", "b"}, true, 1, "", P},
        {{"--input=notes.txt", "--wholeline", "a", "b"}, true, 3, "notes.txt", W},
        {{"--wholeline", "--input=notes.txt", "a", "b"}, true, 3, "notes.txt", W},
        {{"a", "--input=notes.txt", "b"}, true, 1, "", P},
        {{"--input=one", "--input=two", "a", "b"}, true, 3, "two", P},
        {{"--input=", "a", "b"}, true, 2, "", P},
        {{"--input==x", "a", "b"}, true, 2, "=x", P},
        {{"--input=a b%s", "a", "b"}, true, 2, "a b%s", P},
        {{"--wholelineXYZ", "a", "b"}, true, 2, "", W},
        {{"--input=f", "-x", "--wholeline"}, true, 2, "f", P},
        {{"--input=f", "--wholeline"}, true, 3, "f", W},
        {{"--input", "a", "b"}, false, 1, "", P},
        {{"--inputx=f", "a", "b"}, false, 1, "", P},
        {{"--", "a", "b"}, false, 1, "", P},
        {{"--help"}, false, 1, "", P},
        {{"--whole", "a", "b"}, false, 1, "", P},
        {{"--input=f", "--bogus", "a", "b"}, false, 2, "f", P},
        // --dryrun is recognised like --wholeline: as a prefix, anywhere among the options.
        {{"--input=f", "a", "b"}, true, 2, "f", P, I},
        {{"--input=f", "--dryrun", "a", "b"}, true, 3, "f", P, D},
        {{"--dryrun", "--input=f", "a", "b"}, true, 3, "f", P, D},
        {{"--input=f", "--dryrun", "--wholeline", "a", "b"}, true, 4, "f", W, D},
        {{"--wholeline", "--dryrun", "--input=f", "a", "b"}, true, 4, "f", W, D},
        {{"--dryrunXYZ", "a", "b"}, true, 2, "", P, D},
        {{"--dryrun", "--dryrun", "a", "b"}, true, 3, "", P, D},
        {{"--input=f", "a", "--dryrun"}, true, 2, "f", P, I},
        {{"--input=--dryrun", "a", "b"}, true, 2, "--dryrun", P, I},
        {{"-dryrun", "a"}, true, 1, "", P, I},
        {{"--dryru", "a", "b"}, false, 1, "", P, I},
        {{"--dry-run", "a", "b"}, false, 1, "", P, I},
        {{"--DRYRUN", "a", "b"}, false, 1, "", P, I},
        {{"--input=f", "--dryrun", "--bogus", "a", "b"}, false, 3, "f", P, D},
        // --follow-symlinks likewise, GNU sed's name for it.
        {{"--follow-symlinks", "--input=f", "a", "b"}, true, 3, "f", P, I, F},
        {{"--input=f", "--dryrun", "--follow-symlinks", "a", "b"}, true, 4, "f", P, D, F},
        {{"--follow-symlinksXYZ", "--wholeline", "a", "b"}, true, 3, "", W, I, F},
        {{"--input=f", "a", "--follow-symlinks"}, true, 2, "f", P, I},
        {{"--input=--follow-symlinks", "a", "b"}, true, 2, "--follow-symlinks", P, I},
        {{"--follow-symlink", "a", "b"}, false, 1, "", P, I},
        {{"--follow", "a", "b"}, false, 1, "", P, I},
        {{"--follow_symlinks", "a", "b"}, false, 1, "", P, I},
    };
    for (const Row& row : rows) {
        auto argv = argv_of(row.args);
        const int argc = static_cast<int>(argv.size()) - 1;
        const OptionScan scan = parse_options(argc, argv.data());
        const std::string where = ::testing::PrintToString(row.args);
        EXPECT_EQ(scan.recognised, row.recognised) << where;
        if (row.recognised) {
            EXPECT_EQ(scan.first_positional, row.first_positional) << where;
            EXPECT_EQ(scan.settings.input_path, row.input_path) << where;
            EXPECT_EQ(scan.settings.wholeline_mode, row.mode) << where;
            EXPECT_EQ(scan.settings.run_mode, row.run_mode) << where;
            EXPECT_EQ(scan.settings.links, row.links) << where;
        }
        EXPECT_GE(scan.first_positional, 1) << where;
        EXPECT_LE(scan.first_positional, argc) << where;
    }
}

TEST(ParseOptions, EmptyArgumentVector) {
    const char* argv[] = {nullptr};
    const OptionScan scan = parse_options(0, argv);
    EXPECT_TRUE(scan.recognised);
    EXPECT_EQ(scan.first_positional, 0);
    EXPECT_EQ(check_command_line(0, argv, scan.first_positional), CommandLineProblem::TooShort);
}

TEST(CheckCommandLine, Table) {
    struct Row {
        std::vector<std::string> args;
        CommandLineProblem problem;
    };
    const Row rows[] = {
        {{}, CommandLineProblem::TooShort},
        {{"--input=f"}, CommandLineProblem::TooShort},
        {{"a"}, CommandLineProblem::TooShort},
        {{"--input=f", "--wholeline"}, CommandLineProblem::MissingArguments},
        {{"--input=f", "a"}, CommandLineProblem::MissingArguments},
        {{"--input=f", "--wholeline", "a"}, CommandLineProblem::MissingArguments},
        {{"--input=f", "", "b"}, CommandLineProblem::EmptySearch},
        {{"--input=f", "a", ""}, CommandLineProblem::None},
        {{"a", "b"}, CommandLineProblem::None},
        {{"--input=f", "a", "b", "-c", "{d"}, CommandLineProblem::None},
    };
    for (const Row& row : rows) {
        auto argv = argv_of(row.args);
        const int argc = static_cast<int>(argv.size()) - 1;
        const OptionScan scan = parse_options(argc, argv.data());
        EXPECT_EQ(check_command_line(argc, argv.data(), scan.first_positional), row.problem)
            << ::testing::PrintToString(row.args);
    }
    EXPECT_EQ(problem_message(CommandLineProblem::EmptySearch), testing::kEmptySearchMessage);
    EXPECT_EQ(problem_message(CommandLineProblem::TooShort), "");
    EXPECT_EQ(problem_message(CommandLineProblem::MissingArguments), "");
    EXPECT_EQ(problem_message(CommandLineProblem::UnknownOption), "");
}

// The whole command line: the problem that turns it away, or the command with its parsed rule.
TEST(ParseCommandLine, Table) {
    struct Row {
        std::vector<std::string> args;
        CommandLineProblem problem;
        std::string input_path;
        RunMode run_mode = RunMode::InPlace;
        LineMode mode = LineMode::Partial;
        std::vector<ConditionKind> conditions = {};
        LinkHandling links = LinkHandling::Replace;
    };
    const Row rows[] = {
        {{}, CommandLineProblem::TooShort, ""},
        {{"--help"}, CommandLineProblem::UnknownOption, ""},
        {{"--input=f", "--bogus", "a", "b"}, CommandLineProblem::UnknownOption, ""},
        {{"--input=f", "a"}, CommandLineProblem::MissingArguments, ""},
        {{"--input=f", "", "b"}, CommandLineProblem::EmptySearch, ""},
        {{"--input=f", "a", "b"}, CommandLineProblem::None, "f"},
        {{"--follow-symlinksX", "--input=f", "a", "b"},
         CommandLineProblem::None,
         "f",
         RunMode::InPlace,
         LineMode::Partial,
         {},
         LinkHandling::Follow},
        {{"--dryrun", "--wholeline", "--input=g", "a", "b", "+x", "-y", "{z", "}w", "v"},
         CommandLineProblem::None,
         "g",
         RunMode::DryRun,
         LineMode::WholeLine,
         {ConditionKind::Present, ConditionKind::Absent, ConditionKind::Before,
          ConditionKind::After, ConditionKind::Present}},
    };
    for (const Row& row : rows) {
        auto argv = argv_of(row.args);
        const int argc = static_cast<int>(argv.size()) - 1;
        const auto parsed = parse_command_line(argc, argv.data());
        const std::string where = ::testing::PrintToString(row.args);
        if (row.problem != CommandLineProblem::None) {
            ASSERT_TRUE(std::holds_alternative<CommandLineProblem>(parsed)) << where;
            EXPECT_EQ(std::get<CommandLineProblem>(parsed), row.problem) << where;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<Command>(parsed)) << where;
        const Command& command = std::get<Command>(parsed);
        EXPECT_EQ(command.input_path, row.input_path) << where;
        EXPECT_EQ(command.run_mode, row.run_mode) << where;
        EXPECT_EQ(command.links, row.links) << where;
        EXPECT_EQ(command.rule.mode, row.mode) << where;
        EXPECT_EQ(command.rule.search, "a") << where;
        EXPECT_EQ(command.rule.replacement, "b") << where;
        ASSERT_EQ(command.rule.conditions.size(), row.conditions.size()) << where;
        for (std::size_t i = 0; i < row.conditions.size(); ++i) {
            EXPECT_EQ(command.rule.conditions[i].kind, row.conditions[i]) << where << " " << i;
        }
    }
}

TEST(Usage, FourteenLinesWithTheirTexts) {
    const std::string text(usage_text());
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t feed; (feed = text.find('\n', start)) != std::string::npos; start = feed + 1) {
        lines.push_back(text.substr(start, feed - start));
    }
    ASSERT_EQ(start, text.size()) << "the text ends in a line feed";
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0].rfind("linemorph - v1.0.0", 0), 0u);
    EXPECT_EQ(lines[1],
              "Usage: linemorph --input=<filename> [--wholeline] \"<replace>\" \"<with>\" "
              "[[\"[+-]<string to be present>\" | \"<-string to be non-present>\"] ...]");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], " --input\t\t: Name of file to apply the replacements to");
    EXPECT_EQ(lines[4],
              " --wholeline\t: Replace the entire line with <with>, rather than partial "
              "replacement");
    EXPECT_EQ(lines[5], " <replace>\t: String we're searching for");
    EXPECT_EQ(lines[6], " <with>\t\t: What we wish to replace <replace> with");
    EXPECT_EQ(lines[7], " <[+-]string>\t: A string which should be also detected on the line");
    EXPECT_EQ(lines[8], " -<string> \t: A string which we DO NOT want detected in the line");
    EXPECT_EQ(lines[9], " <}string>\t: This string must appear AFTER the section to replace");
    EXPECT_EQ(lines[10], " <{string>\t: This string must appear BEFORE the section to replace");
    EXPECT_EQ(lines[11], "");
    EXPECT_EQ(lines[12],
              "example: ./linemorph --input=myfile \"_MY_DEFINE\" \"_YOUR_DEFINE\" \"-#define\" "
              "\"};\"");
    EXPECT_EQ(lines[13], "\t");
}

}  // namespace
}  // namespace linemorph

namespace linemorph {
namespace {

// The options that choose many files: which list, in which form, how many threads, and the
// combinations turned away.
TEST(ParseCommandLine, FileListOptions) {
    struct Row {
        std::vector<std::string> args;
        CommandLineProblem problem;
        bool listed = false;
        std::string list_path = {};
        ListForm form = ListForm::NulSeparated;
        unsigned jobs = 0;
    };
    const auto nul = ListForm::NulSeparated;
    const auto lines = ListForm::LineSeparated;
    const Row rows[] = {
        {{"--files0-from=l", "a", "b"}, CommandLineProblem::None, true, "l", nul},
        {{"--files-from=-", "a", "b"}, CommandLineProblem::None, true, "-", lines},
        {{"--files0-from=x", "--files0-from=y", "a", "b"},
         CommandLineProblem::None,
         true,
         "y",
         nul},
        {{"--files0-from=", "a", "b"}, CommandLineProblem::None, true, "", nul},
        {{"--jobs=3", "--files0-from=l", "a", "b"}, CommandLineProblem::None, true, "l", nul, 3},
        {{"--jobs=1024", "--files0-from=l", "a", "b"},
         CommandLineProblem::None,
         true,
         "l",
         nul,
         1024},
        {{"--jobs=007", "--files0-from=l", "a", "b"}, CommandLineProblem::None, true, "l", nul, 7},
        {{"--jobs=2", "--input=f", "a", "b"}, CommandLineProblem::None, false, "", nul, 2},
        {{"--files0-from=l", "--input=f", "a", "b"}, CommandLineProblem::ListAndInput},
        {{"--input=", "--files-from=l", "a", "b"}, CommandLineProblem::ListAndInput},
        {{"--files0-from=l", "--files-from=l", "a", "b"}, CommandLineProblem::TwoLists},
        {{"--files0-from=l", "--files-from=l", "--input=f", "a", "b"},
         CommandLineProblem::TwoLists},
        {{"--jobs=0", "--files0-from=l", "a", "b"}, CommandLineProblem::BadJobs},
        {{"--jobs=1025", "--files0-from=l", "a", "b"}, CommandLineProblem::BadJobs},
        {{"--jobs=99999999999", "--files0-from=l", "a", "b"}, CommandLineProblem::BadJobs},
        {{"--jobs=+2", "--files0-from=l", "a", "b"}, CommandLineProblem::BadJobs},
        {{"--jobs= 2", "--files0-from=l", "a", "b"}, CommandLineProblem::BadJobs},
        {{"--jobs=", "--files0-from=l", "a", "b"}, CommandLineProblem::BadJobs},
        {{"--jobs", "--files0-from=l", "a", "b"}, CommandLineProblem::UnknownOption},
        {{"--files0-from=l", "a"}, CommandLineProblem::MissingArguments},
        {{"--files0-from=l", "", "b"}, CommandLineProblem::EmptySearch},
    };
    for (const Row& row : rows) {
        auto argv = argv_of(row.args);
        const auto parsed = parse_command_line(static_cast<int>(argv.size()) - 1, argv.data());
        const std::string where = ::testing::PrintToString(row.args);
        if (row.problem != CommandLineProblem::None) {
            ASSERT_TRUE(std::holds_alternative<CommandLineProblem>(parsed)) << where;
            EXPECT_EQ(std::get<CommandLineProblem>(parsed), row.problem) << where;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<Command>(parsed)) << where;
        const Command& command = std::get<Command>(parsed);
        EXPECT_EQ(command.jobs, row.jobs) << where;
        ASSERT_EQ(command.list.has_value(), row.listed) << where;
        if (command.list) {
            EXPECT_EQ(command.list->path, row.list_path) << where;
            EXPECT_EQ(command.list->form, row.form) << where;
        }
    }
    EXPECT_EQ(problem_message(CommandLineProblem::ListAndInput), testing::kListAndInputMessage);
    EXPECT_EQ(problem_message(CommandLineProblem::TwoLists), testing::kTwoListsMessage);
    EXPECT_EQ(problem_message(CommandLineProblem::BadJobs), testing::kBadJobsMessage);
}

// A list's bytes split into paths, byte for byte.
TEST(FileList, Split) {
    struct Row {
        std::string bytes;
        ListForm form;
        std::vector<std::string> paths;
    };
    const auto nul = ListForm::NulSeparated;
    const auto lines = ListForm::LineSeparated;
    const Row rows[] = {
        {"", nul, {}},
        {std::string(1, '\0'), nul, {""}},
        {std::string("a\0b\0", 4), nul, {"a", "b"}},
        {std::string("a\0b", 3), nul, {"a", "b"}},
        {std::string("a\0\0b\0", 5), nul, {"a", "", "b"}},
        {std::string("new\nline\0 sp ace \0\xff\0", 20), nul, {"new\nline", " sp ace ", "\xff"}},
        {"a\nb\n", lines, {"a", "b"}},
        {"a\nb", lines, {"a", "b"}},
        {"\n", lines, {""}},
        {"a\r\n", lines, {"a\r"}},
        {std::string("n\0ul\n", 5), lines, {std::string("n\0ul", 4)}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(split_file_list(row.bytes, row.form), row.paths)
            << ::testing::PrintToString(row.bytes);
    }
}

}  // namespace
}  // namespace linemorph
