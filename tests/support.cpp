#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace linemorph::testing {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/linemorph-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::set<std::string> TempDir::names() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0) << "cannot create " << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(::fchmod(fd, mode), 0);
    ASSERT_EQ(::close(fd), 0);
}

struct stat status_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
    return st;
}

std::string tool_path() {
    return LINEMORPH_BINARY;
}

std::string find_program(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin:/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

std::string usable_strace() {
    const std::string strace = find_program("strace");
    if (strace.empty() || shell("'" + strace + "' -o /dev/null true 2>/dev/null") != 0) {
        return "";
    }
    return strace;
}

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shell_output(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "popen: " << std::strerror(errno);
        return out;
    }
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        out.append(chunk, got);
    }
    ::pclose(pipe);
    return out;
}

namespace {

// Reads what is ready on `fd` into `into`; gives false at its end.
bool drain(int fd, std::string& into) {
    char chunk[4096];
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
        into.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
    return got < 0 && errno == EINTR;
}

}  // namespace

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> command = options.prefix;
    command.push_back(options.binary.empty() ? tool_path() : options.binary);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int out_pipe[2];
    int err_pipe[2];
    RunResult result;
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        ::close(out_pipe[1]);
        ::close(err_pipe[1]);
        if (!options.stdin_path.empty()) {
            const int in = ::open(options.stdin_path.c_str(), O_RDONLY);
            if (in < 0 || ::dup2(in, STDIN_FILENO) < 0) {
                ::_exit(124);
            }
            ::close(in);
        }
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            ::_exit(120);
        }
        for (const auto& [resource, value] : {std::pair{RLIMIT_FSIZE, options.file_size_limit},
                                              std::pair{RLIMIT_AS, options.memory_limit}}) {
            const struct rlimit limit = {value, value};
            if (value != RLIM_INFINITY && ::setrlimit(resource, &limit) != 0) {
                ::_exit(121);
            }
        }
        // Only the soft limit: reaching it sends SIGXCPU, reaching the hard one SIGKILL.
        if (options.cpu_time_limit != RLIM_INFINITY) {
            struct rlimit cpu {};
            if (::getrlimit(RLIMIT_CPU, &cpu) != 0) {
                ::_exit(121);
            }
            cpu.rlim_cur = options.cpu_time_limit;
            if (::setrlimit(RLIMIT_CPU, &cpu) != 0) {
                ::_exit(121);
            }
        }
        // The tool must deal with the limits itself, and see the signals that end a run as a
        // terminal would send them. Resetting a signal that cannot be caught, or that the C
        // library keeps for itself, fails harmlessly.
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
#ifdef SIGRTMAX
        const int last_signal = SIGRTMAX;
#else
        const int last_signal = NSIG - 1;
#endif
        for (int signal_number = 1; signal_number <= last_signal; ++signal_number) {
            (void)::sigaction(signal_number, &default_action, nullptr);
        }
        sigset_t none;
        sigemptyset(&none);
        if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
            ::_exit(122);
        }
        for (const int fd : options.closed_descriptors) {
            if (::close(fd) != 0) {
                ::_exit(123);
            }
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        return result;
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                !drain(fds[i].fd, *sinks[i])) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (const auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

std::vector<StraceCall> calls_in(const std::string& log) {
    std::vector<StraceCall> calls;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t name_start = line.find_first_not_of("0123456789 ");
        const std::size_t paren = line.find('(', name_start);
        if (name_start == std::string::npos || paren == std::string::npos ||
            line.compare(name_start, 3, "---") == 0 || line.compare(name_start, 3, "+++") == 0) {
            continue;
        }
        calls.push_back({line.substr(name_start, paren - name_start), line});
    }
    return calls;
}

bool is_root() {
    return ::geteuid() == 0;
}

}  // namespace linemorph::testing
