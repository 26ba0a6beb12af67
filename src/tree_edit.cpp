#include "tree_edit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "dry_run.h"
#include "fd_io.h"
#include "file_list.h"
#include "file_rewrite.h"
#include "input_file.h"
#include "platform.h"
#include "signal_cleanup.h"
#include "stream_rewrite.h"
#include "symlink_resolution.h"

namespace linemorph {

namespace {

// Gives true when the parts of `output`, one after another, are exactly `line`'s bytes.
bool same_bytes(std::string_view line, const LineOutput& output) {
    for (std::size_t i = 0; i < output.count; ++i) {
        const std::string_view part = output.parts[i];
        if (line.substr(0, part.size()) != part) {
            return false;
        }
        line.remove_prefix(part.size());
    }
    return line.empty();
}

// Receives a rewritten stream only to learn whether any line's bytes change: it stops the read at
// the first line that does. A line rewritten into its own bytes (a replacement equal to the
// search string) is no change.
class ChangeProbe final : public RewriteSink {
  public:
    int keep(std::string_view /*lines*/) override { return 0; }
    int change(std::string_view line, const LineOutput& output) override {
        if (same_bytes(line, output)) {
            return 0;
        }
        changed_ = true;
        return ECANCELED;  // not an error: ends the read
    }
    int release() override { return 0; }
    int finish() override { return 0; }
    bool changed() const { return changed_; }

  private:
    bool changed_ = false;
};

// What reading a listed file showed.
enum class Probe { Unchanged, Changes };

// Opens the file at `path` into `input` with every check of a one-file run and reads it until a
// line changes under `rule`, setting `result`; gives nothing on success. Where links are not
// followed, a symbolic link whose file would change is a failure: editing it as a one-file run
// does would silently turn it into a copy.
std::optional<Failure> probe_file(const std::string& path, const Rule& rule, LinkHandling links,
                                  InputFile& input, Probe& result) {
    if (auto failure = open_input(path, input)) {
        return failure;
    }
    ChangeProbe probe;
    const auto failed = scan_lines(input.fd.get(), rule, kDefaultBlockSize, probe);
    if (failed && !probe.changed()) {
        return Failure{FailureKind::ReadInput, failed->error, path, {}};
    }
    result = probe.changed() ? Probe::Changes : Probe::Unchanged;
    if (result == Probe::Changes && links == LinkHandling::Replace) {
        struct stat entry {};
        if (::lstat(path.c_str(), &entry) != 0) {
            return Failure{FailureKind::StatInput, errno, path, {}};
        }
        if (S_ISLNK(entry.st_mode)) {
            return Failure{FailureKind::LinkInList, 0, path, {}};
        }
    }
    return std::nullopt;
}

// Calls `work(k)` for every k in [0, count), on `jobs` threads (the calling one among them) that
// each take the next k in turn. Where a thread cannot be started, the others do its share.
template <typename Work>
void run_in_parallel(std::size_t count, unsigned jobs, Work work) {
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < count;) {
            work(k);
        }
    };
    std::vector<std::thread> threads;
    const std::size_t extra = std::min<std::size_t>(jobs > 0 ? jobs - 1 : 0, count);
    for (std::size_t t = 0; t < extra; ++t) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: fewer do the work
        }
    }
    worker();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// The file each listed path names: the path itself or, where links are followed, the file at the
// end of its chain of links, found for every path before any is read. A path whose chain leads
// nowhere keeps its failure, to be reported in its place.
class ListTargets {
  public:
    ListTargets(const std::vector<std::string>& given, LinkHandling links, unsigned jobs)
        : given_(given), links_(links) {
        if (links == LinkHandling::Follow) {
            located_.resize(given.size());
            failures_.resize(given.size());
            run_in_parallel(given.size(), jobs, [&](std::size_t i) {
                failures_[i] = locate_input(given[i], links, located_[i]);
            });
            paths_.reserve(given.size());
            for (std::size_t i = 0; i < given.size(); ++i) {
                paths_.push_back(failures_[i] ? given[i] : located_[i].path);
            }
        }
    }

    LinkHandling links() const { return links_; }
    // Gives the paths of the files to edit, in list order.
    const std::vector<std::string>& paths() const { return located_.empty() ? given_ : paths_; }
    // Gives the failure to find the file of the listed path `i`, if any.
    std::optional<Failure> failure(std::size_t i) const {
        return failures_.empty() ? std::nullopt : failures_[i];
    }
    // Gives true when the temporary path of the file of listed path `i` is one of the links that
    // lead to it: the links stay links, so it may not be cleared as a leftover.
    bool temporary_path_is_link(std::size_t i) const {
        return !located_.empty() && located_[i].passes_through(paths()[i] + ".tmp");
    }

  private:
    const std::vector<std::string>& given_;
    LinkHandling links_;
    std::vector<ResolvedPath> located_;
    std::vector<std::optional<Failure>> failures_;
    std::vector<std::string> paths_;
};

// A listed file's failure, kept with its place in the list.
struct ListedFailure {
    std::size_t index;
    Failure failure;
};

std::vector<Failure> in_list_order(std::vector<ListedFailure> listed) {
    std::sort(listed.begin(), listed.end(),
              [](const ListedFailure& a, const ListedFailure& b) { return a.index < b.index; });
    std::vector<Failure> failures(listed.size());
    std::transform(listed.begin(), listed.end(), failures.begin(),
                   [](ListedFailure& one) { return std::move(one.failure); });
    return failures;
}

// A changed file, prepared, with its place in the list.
struct ListedRewrite {
    std::size_t index;
    std::unique_ptr<PreparedRewrite> rewrite;
};

// Gives the folder that holds `path`'s last component, as the system resolves it.
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// One open folder on each file system that holds a listed path's folder, by device: the handle
// the file system's sync goes through. A sync reports the write errors met since its handle was
// opened, so the handles are opened before any temporary file is created (each lies in a listed
// folder, on that folder's file system). A folder that cannot be opened leaves its file system
// without a handle: its files are then synced one by one.
std::map<dev_t, UniqueFd> open_file_system_handles(const std::vector<std::string>& paths,
                                                   const std::vector<std::size_t>& order) {
    std::map<dev_t, UniqueFd> handles;
    std::set<std::string> folders;
    for (const std::size_t index : order) {
        std::string folder = folder_of(paths[index]);
        if (!folders.insert(folder).second) {
            continue;
        }
        UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
        struct stat status {};
        if (fd && ::fstat(fd.get(), &status) == 0 && handles.count(status.st_dev) == 0) {
            handles.emplace(status.st_dev, std::move(fd));
        }
    }
    return handles;
}

// Makes the prepared files durable by `durability`, through `handles` for a file system's sync;
// gives the failures of those that cannot be (with their places in the list).
std::vector<ListedFailure> make_durable(const std::vector<ListedRewrite>& prepared,
                                        Durability durability,
                                        const std::map<dev_t, UniqueFd>& handles) {
    std::vector<ListedFailure> failures;
    // Syncs each file of `group` on its own; gives how many could not be synced.
    const auto sync_each = [&failures](const std::vector<const ListedRewrite*>& group) {
        std::size_t failed = 0;
        for (const ListedRewrite* one : group) {
            if (::fsync(one->rewrite->temp.fd()) != 0) {
                failures.push_back(
                    {one->index, {FailureKind::WriteTemp, errno, one->rewrite->temp.path(), {}}});
                ++failed;
            }
        }
        return failed;
    };
    if (durability == Durability::EachFile) {
        return failures;  // each was synced as it was prepared
    }
    std::map<dev_t, std::vector<const ListedRewrite*>> by_device;
    for (const ListedRewrite& one : prepared) {
        by_device[one.rewrite->temp.identity().st_dev].push_back(&one);
    }
    for (const auto& [device, group] : by_device) {
        const auto handle = handles.find(device);
        const int error = handle == handles.end() ? ENOSYS : sync_file_system(handle->second.get());
        if (error == 0 && durability == Durability::FileSystem) {
            continue;
        }
        // No file-system sync here, or it reports a write error: each file's own sync makes it
        // durable and tells which file the error is in.
        if (sync_each(group) == 0 && error != 0 && error != ENOSYS) {
            const ListedRewrite& first = *group.front();
            failures.push_back(
                {first.index, {FailureKind::WriteTemp, error, first.rewrite->temp.path(), {}}});
        }
    }
    return failures;
}

// Puts the old content of a file replaced by a plain rename back in its place, from the input
// still open: a new file, with the old owner, mode and content. Gives nothing on success.
std::optional<Failure> restore_copy(PreparedRewrite& rewrite) {
    AtomicFile back(rewrite.temp.target());
    if (auto failure = back.create(rewrite.input.status)) {
        return failure;
    }
    char block[64 * 1024];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(rewrite.input.fd.get(), block, sizeof block, offset);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Failure{FailureKind::ReadInput, errno, back.target(), {}};
        }
        if (got == 0) {
            break;
        }
        if (const int error =
                write_all(back.fd(), std::string_view(block, static_cast<std::size_t>(got)))) {
            return Failure{FailureKind::WriteTemp, error, back.path(), {}};
        }
        offset += got;
    }
    if (auto failure = back.prepare(rewrite.input.fd.get(), rewrite.input.status)) {
        return failure;
    }
    return back.commit();
}

// Makes the renames in the folders of `prepared` durable: one sync per file system where the
// system has it, else one per folder. A failure only loses durability, never data, as after a
// one-file run's rename, so it is not reported.
void sync_folders(const std::vector<ListedRewrite>& prepared, Durability durability) {
    std::set<dev_t> synced;
    std::set<std::string> folders;
    for (const ListedRewrite& one : prepared) {
        const AtomicFile& temp = one.rewrite->temp;
        if (durability != Durability::EachFile && synced.count(temp.identity().st_dev) == 0 &&
            sync_file_system(temp.fd()) == 0) {
            synced.insert(temp.identity().st_dev);
        }
        if (synced.count(temp.identity().st_dev) == 0) {
            folders.insert(folder_of(temp.target()));
        }
    }
    for (const std::string& folder : folders) {
        const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
        if (fd) {
            (void)::fsync(fd.get());
        }
    }
}

// Puts every prepared file in its place, in list order, then removes the old files on `jobs`
// threads. On a failure, puts the files already replaced back and gives the failure first, then
// any failure to put one back; none: done.
std::vector<Failure> commit_all(std::vector<ListedRewrite>& prepared, unsigned jobs) {
    std::vector<Failure> failures;
    std::vector<Swap> swaps(prepared.size(), Swap::Renamed);
    // No signal may end the run between two renames: the files would be left half old, half new.
    const CleanupSignalsHeld held;
    std::size_t placed = 0;
    for (; placed < prepared.size(); ++placed) {
        AtomicFile& temp = prepared[placed].rewrite->temp;
        if (!path_names(temp.path(), temp.identity())) {
            failures.push_back({FailureKind::TempReplaced, 0, temp.path(), {}});
            break;
        }
        if (const int error = put_in_place(temp.path(), temp.target(), swaps[placed])) {
            failures.push_back({FailureKind::Rename, error, temp.path(), temp.target()});
            break;
        }
        temp.set_placement(Placement::InPlace);
    }
    if (failures.empty()) {
        // The old files, kept at the temporary paths by the exchanges, are no longer needed.
        // One that cannot be removed is left for the next run to clear as a leftover: the edit
        // itself is complete. Each removal stands alone, so the threads share them.
        run_in_parallel(placed, jobs, [&](std::size_t i) {
            const AtomicFile& temp = prepared[i].rewrite->temp;
            if (swaps[i] == Swap::Exchanged && !path_names(temp.path(), temp.identity())) {
                (void)::unlink(temp.path().c_str());
            }
        });
        return failures;
    }
    while (placed-- > 0) {
        PreparedRewrite& rewrite = *prepared[placed].rewrite;
        if (swaps[placed] == Swap::Exchanged) {
            AtomicFile& temp = rewrite.temp;
            if (const int error = exchange_names(temp.path(), temp.target())) {
                failures.push_back({FailureKind::Rename, error, temp.path(), temp.target()});
            } else {
                temp.set_placement(Placement::Temporary);  // the new content: removed with it
            }
        } else if (auto failure = restore_copy(rewrite)) {
            failures.push_back(std::move(*failure));
        }
    }
    return failures;
}

}  // namespace

std::vector<Failure> edit_listed_files(const std::vector<std::string>& given, const Rule& rule,
                                       const ListRunOptions& options) {
    const ListTargets targets(given, options.links, options.jobs);
    const std::vector<std::string>& paths = targets.paths();
    const std::vector<std::size_t> order = distinct_entries(paths);
    (void)raise_descriptor_limit();  // each changed file holds two until the end of the run
    const std::map<dev_t, UniqueFd> handles = options.durability == Durability::EachFile
                                                  ? std::map<dev_t, UniqueFd>()
                                                  : open_file_system_handles(paths, order);
    const SyncStep sync =
        options.durability == Durability::EachFile ? SyncStep::Now : SyncStep::Deferred;
    std::mutex mutex;
    std::vector<ListedFailure> failures;
    std::vector<ListedRewrite> prepared;
    run_in_parallel(order.size(), options.jobs, [&](std::size_t k) {
        const std::size_t index = order[k];
        const std::string& path = paths[index];
        std::optional<Failure> failure;
        std::unique_ptr<PreparedRewrite> rewrite;
        try {
            Probe probe = Probe::Unchanged;
            InputFile input;
            failure = targets.failure(index);
            if (!failure) {
                failure = probe_file(path, rule, targets.links(), input, probe);
            }
            if (!failure && probe == Probe::Changes && targets.temporary_path_is_link(index)) {
                failure = Failure{FailureKind::OpenTemp, EEXIST, path + ".tmp", {}};
            }
            if (!failure && probe == Probe::Changes) {
                // The file stays open and locked from its first read to the end of the run.
                rewrite = std::make_unique<PreparedRewrite>(path);
                rewrite->input = std::move(input);
                failure = prepare_rewrite(path, *rewrite, rule, sync);
            }
        } catch (const std::bad_alloc&) {
            failure = Failure{FailureKind::ReadInput, ENOMEM, path, {}};
        }
        if (failure) {
            rewrite.reset();  // removes its temporary file
            const std::lock_guard<std::mutex> lock(mutex);
            failures.push_back({index, std::move(*failure)});
        } else if (rewrite) {
            const std::lock_guard<std::mutex> lock(mutex);
            prepared.push_back({index, std::move(rewrite)});
        }
    });
    std::sort(prepared.begin(), prepared.end(),
              [](const ListedRewrite& a, const ListedRewrite& b) { return a.index < b.index; });
    if (failures.empty()) {
        failures = make_durable(prepared, options.durability, handles);
    }
    if (!failures.empty()) {
        prepared.clear();  // removes every temporary file
        return in_list_order(std::move(failures));
    }
    std::vector<Failure> commit_failures = commit_all(prepared, options.jobs);
    sync_folders(prepared, options.durability);
    return commit_failures;
}

std::vector<Failure> preview_listed_files(const std::vector<std::string>& given, const Rule& rule,
                                          int out_fd, unsigned jobs, LinkHandling links) {
    const ListTargets targets(given, links, jobs);
    const std::vector<std::string>& paths = targets.paths();
    const std::vector<std::size_t> order = distinct_entries(paths);
    // Every file is read in parallel first, learning which change; the diffs are then written one
    // file after another, in list order.
    std::vector<char> changes(order.size(), 0);
    std::vector<std::optional<Failure>> probe_failures(order.size());
    run_in_parallel(order.size(), jobs, [&](std::size_t k) {
        Probe probe = Probe::Unchanged;
        try {
            InputFile input;
            probe_failures[k] = targets.failure(order[k]);
            if (!probe_failures[k]) {
                probe_failures[k] = probe_file(paths[order[k]], rule, links, input, probe);
            }
        } catch (const std::bad_alloc&) {
            probe_failures[k] = Failure{FailureKind::ReadInput, ENOMEM, paths[order[k]], {}};
        }
        changes[k] = probe == Probe::Changes ? 1 : 0;
    });
    std::vector<Failure> failures;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (probe_failures[k]) {
            failures.push_back(std::move(*probe_failures[k]));
            continue;
        }
        if (changes[k] == 0) {
            continue;
        }
        // The headers name the path as listed, as a one-file dry run names the path given.
        if (auto failure = preview_file(given[order[k]], rule, out_fd, kDefaultBlockSize, links)) {
            const bool output_lost = failure->kind == FailureKind::WriteOutput;
            failures.push_back(std::move(*failure));
            if (output_lost) {
                break;  // no later diff can be written either
            }
        }
    }
    return failures;
}

std::vector<Failure> run_file_list(const Command& command, int out_fd) {
    std::vector<std::string> paths;
    if (auto failure = read_file_list(*command.list, paths)) {
        return {std::move(*failure)};
    }
    const unsigned jobs = command.jobs > 0 ? command.jobs : online_processors();
    if (command.run_mode == RunMode::DryRun) {
        return preview_listed_files(paths, command.rule, out_fd, jobs, command.links);
    }
    ListRunOptions options;
    options.jobs = jobs;
    options.links = command.links;
    return edit_listed_files(paths, command.rule, options);
}

}  // namespace linemorph
