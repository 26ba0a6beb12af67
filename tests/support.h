// Helpers for tests that work on real files: a private temporary folder per test, whole-file
// reads and writes, and running the built tool as a child process.
#ifndef LINEMORPH_TESTS_SUPPORT_H
#define LINEMORPH_TESTS_SUPPORT_H

#include <sys/resource.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

// Defined when AddressSanitizer is built in (gcc says so with a macro, clang with a feature test):
// its shadow memory does not fit under an address-space limit.
#if defined(__SANITIZE_ADDRESS__)
#define LINEMORPH_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LINEMORPH_ADDRESS_SANITIZER 1
#endif
#endif

namespace linemorph::testing {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Gives the path of `name` inside the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Gives the names in the folder.
    std::set<std::string> names() const;

  private:
    std::string path_;
};

// Gives the whole content of the file at `path`; fails the test when it cannot be read.
std::string read_file(const std::string& path);

// Writes `content` to a new file at `path` with permission bits `mode`.
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);

// Gives the lstat of `path`; fails the test when there is none.
struct stat status_of(const std::string& path);

// How to run the tool.
struct RunOptions {
    std::string cwd;                         // the working folder; empty: the test's own
    std::vector<std::string> prefix;         // a wrapper command to run it through, e.g. setpriv
    rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE in bytes
    rlim_t memory_limit = RLIM_INFINITY;     // RLIMIT_AS in bytes
    rlim_t cpu_time_limit = RLIM_INFINITY;   // RLIMIT_CPU's soft limit in seconds (SIGXCPU)
    std::vector<int> closed_descriptors;     // standard descriptors closed before the start
    int timeout_seconds = 60;                // killed after this long
    std::string binary;                      // the tool; empty: the one this build made
    std::string stdin_path;                  // the file standard input reads; empty: the test's own
};

// Gives the options to run the tool in the folder `cwd`.
inline RunOptions in_folder(const std::string& cwd) {
    RunOptions options;
    options.cwd = cwd;
    return options;
}

// What a run gave: the exit status (128 + signal when killed by one), standard output and error.
struct RunResult {
    int status = -1;
    int signal = 0;  // the signal that killed it, 0 when it exited
    std::string out;
    std::string err;
    bool timed_out = false;
};

// Runs the built tool with `args` (the program's name not included) and collects what it gives.
// It starts with every signal at its default action and none blocked, as from a terminal, even
// when the tests run under nohup or the like.
RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {});

// Gives the path of the tool this build made.
std::string tool_path();

// Gives the full path of `program` on PATH, or "" when there is none.
std::string find_program(const std::string& program);

// Gives the path of strace when it is installed and allowed to trace here, else "".
std::string usable_strace();

// Gives true when the tests run as root, which some faults need (mounts, other owners, setpriv).
bool is_root();

// One system call of the tool as strace's log shows it: its name and the whole line.
struct StraceCall {
    std::string name;
    std::string line;
};

// Gives the calls in an strace log, in order, leaving out signal and exit lines.
std::vector<StraceCall> calls_in(const std::string& log);

// Runs a shell command; gives its exit status.
int shell(const std::string& command);

// Runs a shell command; gives what it wrote on standard output.
std::string shell_output(const std::string& command);

}  // namespace linemorph::testing

#endif
