// What a new file takes over from the one it replaces besides its content, owner and mode: its
// extended attributes and its access ACL, copied from one open descriptor to another, and the
// removal of the ACL a folder's default ACL gives a file at its creation.
#ifndef LINEMORPH_FILE_METADATA_H
#define LINEMORPH_FILE_METADATA_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace linemorph {

class MetadataCalls;

// Gives the file open at `to` every extended attribute of the file open at `from` that this run
// may read, and exactly the access ACL of `from` (the same entries and mask, or none), whose mode
// is `mode`; returns 0 or the error number of the first failure, skipping an attribute the system
// refuses to this user (EPERM, ENOTSUP) as a refused owner change is skipped.
int copy_metadata(int from, int to, mode_t mode);
int copy_metadata(int from, int to, mode_t mode, MetadataCalls& calls);

// Gives the file open at `fd` the plain ACL of mode 0600 (owner read and write, no one else) in
// place of any ACL its folder's default ACL gave it at creation; returns 0 or the error number.
int make_private(int fd);
int make_private(int fd, MetadataCalls& calls);

// How this build keeps a file's ACL.
enum class AclSupport {
    Posix1e,         // the POSIX.1e interface (acl_get_fd, acl_set_fd): libacl, or FreeBSD's libc
    LinuxAttribute,  // Linux without that interface: the ACL's own attribute, copied as it is
    None,            // no ACL is kept, and a folder's default ACL applies to the new file
};

// Returns how this build keeps a file's ACL.
AclSupport acl_support();

// An access ACL read from one file, to set on another; what it holds is the calls' own.
using AclHandle = std::shared_ptr<void>;

// The system calls behind the copy, in one small layer: the Linux xattr calls or FreeBSD's
// extattr calls, and the ACL interface. Tests put their own in its place to make any call fail.
// Each returns 0 or the error number.
class MetadataCalls {
  public:
    virtual ~MetadataCalls() = default;

    // Gives the names of the extended attributes of `fd` in Linux's form ("user.name").
    virtual int list_attributes(int fd, std::vector<std::string>& names) = 0;
    // Gives the value of the attribute `name` of `fd`.
    virtual int get_attribute(int fd, const std::string& name, std::string& value) = 0;
    // Sets the attribute `name` of `fd` to `value`, creating or replacing it.
    virtual int set_attribute(int fd, const std::string& name, std::string_view value) = 0;
    // Returns true for the attributes that hold an ACL: the ACL calls copy those.
    virtual bool holds_acl(std::string_view name) const = 0;
    // Reads the access ACL of `fd` (ENOTSUP where its file system keeps none).
    virtual int get_acl(int fd, AclHandle& acl) = 0;
    // Makes `acl` the access ACL of `fd`, replacing the one it has.
    virtual int set_acl(int fd, const AclHandle& acl) = 0;
    // Makes the plain ACL of mode 0600 the access ACL of `fd` (ENOTSUP as for get_acl).
    virtual int set_private_acl(int fd) = 0;
};

// Returns the calls of the system this build runs on.
MetadataCalls& system_metadata_calls();

}  // namespace linemorph

#endif
