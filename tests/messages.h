// The tool's messages on standard error, spelled out once for every test: a test that expects a
// message builds it here from the path and the error number, so a change of wording is made in
// one place and every test then checks the new text.
#ifndef LINEMORPH_TESTS_MESSAGES_H
#define LINEMORPH_TESTS_MESSAGES_H

#include <cstring>
#include <string>

namespace linemorph::testing {

// The system's description of `error`, as the messages quote it.
inline std::string system_text(int error) {
    return std::strerror(error);
}

inline std::string stat_message(const std::string& path, int error) {
    return "ERROR: Whilst attempting to get information of '" + path + "', system reported: '" +
           system_text(error) + "'\n";
}

// Ends without a line feed, as the tool has always written it.
inline std::string open_message(const std::string& path, int error) {
    return "Error: Cannot open " + path + " (" + system_text(error) + ")";
}

inline std::string read_message(const std::string& path, int error) {
    return "Error: Cannot read " + path + " (" + system_text(error) + ")\n";
}

inline std::string write_message(const std::string& path, int error) {
    return "Error: Cannot write " + path + " (" + system_text(error) + ")\n";
}

inline std::string not_regular_message(const std::string& path) {
    return "Error: " + path + " is not a regular file\n";
}

inline std::string temp_replaced_message(const std::string& temp) {
    return "Error: " + temp + " was replaced by another process; the input is unchanged\n";
}

inline std::string temp_is_input_message(const std::string& temp) {
    return "Error: " + temp + " is the input itself; the input is unchanged\n";
}

inline std::string rename_message(const std::string& temp, const std::string& target, int error) {
    return "ERROR: While attempting to rename temp file '" + temp + "' to '" + target +
           "', system reported: '" + system_text(error) + "'\n";
}

inline std::string mode_message(int error) {
    return "ERROR: While attempting to set permissions on new file, system reported: '" +
           system_text(error) + "'\n";
}

inline std::string output_write_message(int error) {
    return "Error: Cannot write standard output (" + system_text(error) + ")\n";
}

inline std::string output_is_input_message(const std::string& path) {
    return "Error: standard output is " + path + " itself\n";
}

inline std::string standard_descriptors_message(int error) {
    return "Error: Cannot open /dev/null on a closed standard descriptor (" + system_text(error) +
           ")\n";
}

inline std::string signals_message(int error) {
    return "Error: Cannot handle signals (" + system_text(error) + ")\n";
}

inline const std::string kEmptySearchMessage = "Error: empty search string\n";

// A file list that cannot be opened or read; `name` is its path, or "standard input".
inline std::string list_read_message(const std::string& name, int error) {
    return "Error: Cannot read file list " + name + " (" + system_text(error) + ")\n";
}

inline std::string link_in_list_message(const std::string& path) {
    return "Error: " + path + " is a symbolic link; --follow-symlinks edits the file it names\n";
}

inline const std::string kListAndInputMessage = "Error: --input= cannot be used with a file list\n";
inline const std::string kTwoListsMessage =
    "Error: --files0-from= and --files-from= cannot be used together\n";
inline const std::string kBadJobsMessage = "Error: --jobs= takes a whole number from 1 to 1024\n";

}  // namespace linemorph::testing

#endif
