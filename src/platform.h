// The calls that only some systems have, each behind one function with a portable fallback:
// exchanging two names atomically, syncing a whole file system, counting processors, and raising
// the limit of open descriptors.
#ifndef LINEMORPH_PLATFORM_H
#define LINEMORPH_PLATFORM_H

#include <sys/resource.h>

#include <string>

namespace linemorph {

// How put_in_place() put a file in its target's place.
enum class Swap {
    Exchanged,  // the names were exchanged: the old file now stands at the source path
    Renamed,    // a plain rename: the old file is gone (its open descriptors still read it)
};

// Puts the file at `from` in the place of `to`. Where the system and the file system can exchange
// two names atomically (Linux's renameat2 with RENAME_EXCHANGE), they are exchanged, so that the
// old file stays at `from` and exchange_names() can put it back; elsewhere, or when nothing stands
// at `to`, it is a plain rename. Sets `how` and gives 0, or gives the error number.
int put_in_place(const std::string& from, const std::string& to, Swap& how);

// Exchanges the names `a` and `b` atomically; gives 0 or the error number (ENOSYS where the
// system cannot).
int exchange_names(const std::string& a, const std::string& b);

// Makes everything written to the file system that holds `fd` durable, and reports write errors
// that the file system met since `fd` was opened: Linux's syncfs. Gives 0 or the error number;
// ENOSYS where the system has no such call (then each file must be synced on its own).
int sync_file_system(int fd);

// Gives the number of processors online, at least 1.
unsigned online_processors();

// Raises the soft limit on open descriptors to the hard limit; gives the soft limit in force
// afterwards (the old one when it cannot be raised).
rlim_t raise_descriptor_limit();

}  // namespace linemorph

#endif
