#include "file_metadata.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#if defined(__linux__)
#include <sys/xattr.h>
#elif defined(__FreeBSD__)
#include <sys/extattr.h>
#endif

#if defined(LINEMORPH_HAVE_POSIX_ACL)
#include <sys/acl.h>
#endif

namespace linemorph {

namespace {

// Returns true when `error` says the file system keeps no such thing at all.
bool is_unsupported(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP;
}

// Returns true for an error number that says the system refuses this one attribute to this user
// or does not support it on this file: the attribute is then skipped.
bool is_refusal(int error) {
    return error == EPERM || is_unsupported(error);
}

// Returns true when `error` says the attribute went away between its listing and its reading.
bool is_gone(int error) {
#if defined(ENOATTR) && defined(ENODATA)
    return error == ENOATTR || error == ENODATA;
#elif defined(ENOATTR)
    return error == ENOATTR;  // FreeBSD
#else
    return error == ENODATA;  // Linux
#endif
}

// Far more than any system keeps in one attribute or list of names (Linux: 64 KiB).
constexpr std::size_t kMaxValueSize = std::size_t{1} << 24;

// Reads a value of unknown size: `read(buffer, capacity)` gives the bytes it read or -1 with
// errno, and with a null buffer the size it would read. Sizes grow while a value grows beneath
// it; a read that fills the buffer is taken again with more room, since some systems cut silently.
// Gives 0 or the error number (ERANGE for a value that never stops growing).
template <typename Read>
int read_sized(std::string& into, Read read) {
    const ssize_t size = read(nullptr, 0);
    if (size < 0) {
        return errno;
    }
    if (size == 0) {
        into.clear();
        return 0;
    }
    std::size_t capacity = static_cast<std::size_t>(size) + 1;
    for (;;) {
        into.resize(capacity);
        const ssize_t got = read(into.data(), capacity);
        if (got < 0) {
            if (errno != ERANGE) {
                return errno;
            }
        } else if (static_cast<std::size_t>(got) < capacity) {
            into.resize(static_cast<std::size_t>(got));
            return 0;
        }
        if (capacity > kMaxValueSize) {
            return ERANGE;
        }
        capacity *= 2;
    }
}

// ---------------------------------------------------------------------------------------------
// Extended attributes: Linux's calls, FreeBSD's, or none.

#if defined(__linux__)

int list_native(int fd, std::vector<std::string>& names) {
    std::string list;
    if (const int error = read_sized(list, [fd](char* buffer, std::size_t capacity) {
            return ::flistxattr(fd, buffer, capacity);
        })) {
        return error;
    }
    names.clear();
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = list.find('\0', start);
        const std::size_t stop = end == std::string::npos ? list.size() : end;
        if (stop > start) {
            names.push_back(list.substr(start, stop - start));
        }
        start = stop + 1;
    }
    return 0;
}

int get_native(int fd, const std::string& name, std::string& value) {
    return read_sized(value, [fd, &name](char* buffer, std::size_t capacity) {
        return ::fgetxattr(fd, name.c_str(), buffer, capacity);
    });
}

int set_native(int fd, const std::string& name, std::string_view value) {
    return ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
}

bool holds_acl_native(std::string_view name) {
    return name == "system.posix_acl_access" || name == "system.posix_acl_default";
}

#elif defined(__FreeBSD__)

// FreeBSD keeps attributes in namespaces; they are named here as Linux names them.
struct Namespace {
    int number;
    std::string_view prefix;
};
constexpr Namespace kNamespaces[] = {{EXTATTR_NAMESPACE_USER, "user."},
                                     {EXTATTR_NAMESPACE_SYSTEM, "system."}};

// Splits a name in Linux's form into its namespace and its name there; false when it has none.
bool split_name(const std::string& name, int& number, std::string& inside) {
    for (const Namespace& space : kNamespaces) {
        if (name.compare(0, space.prefix.size(), space.prefix) == 0) {
            number = space.number;
            inside = name.substr(space.prefix.size());
            return true;
        }
    }
    return false;
}

int list_native(int fd, std::vector<std::string>& names) {
    names.clear();
    for (const Namespace& space : kNamespaces) {
        std::string list;
        if (const int error = read_sized(list, [fd, &space](char* buffer, std::size_t capacity) {
                return ::extattr_list_fd(fd, space.number, buffer, capacity);
            })) {
            if (error == EPERM || error == EACCES) {
                continue;  // the system namespace is for the privileged only
            }
            return error;
        }
        // Each name is one byte of length and that many bytes, with no terminator.
        for (std::size_t at = 0; at < list.size();) {
            const std::size_t length = static_cast<unsigned char>(list[at]);
            names.push_back(std::string(space.prefix) + list.substr(at + 1, length));
            at += 1 + length;
        }
    }
    return 0;
}

int get_native(int fd, const std::string& name, std::string& value) {
    int number = 0;
    std::string inside;
    if (!split_name(name, number, inside)) {
        return ENOTSUP;
    }
    return read_sized(value, [fd, number, &inside](char* buffer, std::size_t capacity) {
        return ::extattr_get_fd(fd, number, inside.c_str(), buffer, capacity);
    });
}

int set_native(int fd, const std::string& name, std::string_view value) {
    int number = 0;
    std::string inside;
    if (!split_name(name, number, inside)) {
        return ENOTSUP;
    }
    return ::extattr_set_fd(fd, number, inside.c_str(), value.data(), value.size()) < 0 ? errno : 0;
}

bool holds_acl_native(std::string_view name) {
    return name == "system.posix1e.acl_access" || name == "system.posix1e.acl_default" ||
           name == "system.nfs4.acl";
}

#else

int list_native(int /*fd*/, std::vector<std::string>& names) {
    names.clear();
    return ENOTSUP;
}

int get_native(int /*fd*/, const std::string& /*name*/, std::string& /*value*/) {
    return ENOTSUP;
}

int set_native(int /*fd*/, const std::string& /*name*/, std::string_view /*value*/) {
    return ENOTSUP;
}

bool holds_acl_native(std::string_view /*name*/) {
    return false;
}

#endif

// ---------------------------------------------------------------------------------------------
// The access ACL: the POSIX.1e interface, Linux's own attribute for it, or none.

#if defined(LINEMORPH_HAVE_POSIX_ACL)

constexpr AclSupport kAclSupport = AclSupport::Posix1e;

int get_acl_native(int fd, AclHandle& acl) {
    const acl_t got = ::acl_get_fd(fd);
    if (got == nullptr) {
        return errno;
    }
    acl = AclHandle(got, [](void* held) { (void)::acl_free(held); });
    return 0;
}

int set_acl_native(int fd, const AclHandle& acl) {
    return ::acl_set_fd(fd, static_cast<acl_t>(acl.get())) == 0 ? 0 : errno;
}

int set_private_acl_native(int fd) {
#if defined(__FreeBSD__) && defined(_PC_ACL_NFS4)
    // An NFSv4 ACL has no text of mode 0600: strip it to the one its mode makes, then make sure
    // of that mode.
    if (::fpathconf(fd, _PC_ACL_NFS4) == 1) {
        AclHandle inherited;
        if (const int error = get_acl_native(fd, inherited)) {
            return error;
        }
        const acl_t stripped = ::acl_strip_np(static_cast<acl_t>(inherited.get()), 0);
        if (stripped == nullptr) {
            return errno;
        }
        const AclHandle held(stripped, [](void* acl) { (void)::acl_free(acl); });
        if (const int error = set_acl_native(fd, held)) {
            return error;
        }
        return ::fchmod(fd, 0600) == 0 ? 0 : errno;
    }
#endif
    const acl_t plain = ::acl_from_text("u::rw-,g::---,o::---");
    if (plain == nullptr) {
        return errno;
    }
    const AclHandle held(plain, [](void* acl) { (void)::acl_free(acl); });
    return set_acl_native(fd, held);
}

#elif defined(__linux__)

// Without the interface, Linux still keeps the access ACL as one attribute, in a form of its own
// that the kernel checks when it is set: copied whole, it is the same ACL. A file without that
// attribute has the ACL of its mode, which is written in the same form, as libacl does: the
// kernel then sets the mode's permission bits and keeps no attribute. The handle holds the form.
constexpr AclSupport kAclSupport = AclSupport::LinuxAttribute;
constexpr const char* kAclAttribute = "system.posix_acl_access";

// Gives the attribute form of the ACL of permission bits `mode`: a version number, then the
// entries of the owner, the group and others, each a tag, its permissions and an unused id.
std::string acl_of_mode(mode_t mode) {
    std::string form;
    const auto add = [&form](unsigned value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            form += static_cast<char>((value >> (8 * i)) & 0xff);  // little-endian
        }
    };
    add(2, 4);  // POSIX_ACL_XATTR_VERSION

    // ACL_USER_OBJ, ACL_GROUP_OBJ and ACL_OTHER, with their permissions.
    const unsigned entries[][2] = {
        {0x01, (mode >> 6) & 7u}, {0x04, (mode >> 3) & 7u}, {0x20, mode & 7u}};
    for (const auto& entry : entries) {
        add(entry[0], 2);
        add(entry[1], 2);
        add(0xffffffffu, 4);  // ACL_UNDEFINED_ID
    }
    return form;
}

int get_acl_native(int fd, AclHandle& acl) {
    auto value = std::make_shared<std::string>();
    if (const int error = get_native(fd, kAclAttribute, *value)) {
        if (!is_gone(error)) {
            return error;
        }
        struct stat status {};
        if (::fstat(fd, &status) != 0) {
            return errno;
        }
        *value = acl_of_mode(status.st_mode);
    }
    acl = value;
    return 0;
}

int set_acl_native(int fd, const AclHandle& acl) {
    return set_native(fd, kAclAttribute, *static_cast<const std::string*>(acl.get()));
}

int set_private_acl_native(int fd) {
    return set_native(fd, kAclAttribute, acl_of_mode(0600));
}

#else

constexpr AclSupport kAclSupport = AclSupport::None;

int get_acl_native(int /*fd*/, AclHandle& /*acl*/) {
    return ENOTSUP;
}

int set_acl_native(int /*fd*/, const AclHandle& /*acl*/) {
    return ENOTSUP;
}

int set_private_acl_native(int /*fd*/) {
    return ENOTSUP;
}

#endif

class SystemCalls final : public MetadataCalls {
  public:
    int list_attributes(int fd, std::vector<std::string>& names) override {
        return list_native(fd, names);
    }
    int get_attribute(int fd, const std::string& name, std::string& value) override {
        return get_native(fd, name, value);
    }
    int set_attribute(int fd, const std::string& name, std::string_view value) override {
        return set_native(fd, name, value);
    }
    bool holds_acl(std::string_view name) const override { return holds_acl_native(name); }
    int get_acl(int fd, AclHandle& acl) override { return get_acl_native(fd, acl); }
    int set_acl(int fd, const AclHandle& acl) override { return set_acl_native(fd, acl); }
    int set_private_acl(int fd) override { return set_private_acl_native(fd); }
};

}  // namespace

AclSupport acl_support() {
    return kAclSupport;
}

MetadataCalls& system_metadata_calls() {
    static SystemCalls calls;
    return calls;
}

namespace {

// Gives `to` the access ACL of `from`; returns 0 or the error number.
int copy_acl(int from, int to, MetadataCalls& calls) {
    AclHandle acl;
    if (const int error = calls.get_acl(from, acl)) {
        // A file system without ACLs gave neither file one.
        return is_unsupported(error) ? 0 : error;
    }
    return calls.set_acl(to, acl);
}

}  // namespace

int copy_metadata(int from, int to, mode_t mode, MetadataCalls& calls) {
    std::vector<std::string> names;
    if (const int error = calls.list_attributes(from, names)) {
        if (!is_unsupported(error)) {
            return error;
        }
        names.clear();  // a file system without attributes: nothing to keep
    }
    // The attributes are set in the order the old file lists them, the ACL in its place among
    // them: where the old file's attributes fill all the room its file system gives them, the
    // same order is the likeliest to fit them again. Only when the old file denies its owner
    // writing does the ACL go last: from then on an unprivileged owner could not set user.*.
    const bool acl_last = (mode & S_IWUSR) == 0;
    bool acl_copied = false;
    std::string value;
    for (const std::string& name : names) {
        if (calls.holds_acl(name)) {
            if (!acl_last && !acl_copied) {
                acl_copied = true;
                if (const int error = copy_acl(from, to, calls)) {
                    return error;
                }
            }
            continue;
        }
        if (const int error = calls.get_attribute(from, name, value)) {
            if (is_refusal(error) || error == EACCES || is_gone(error)) {
                continue;  // not this run's to read, or gone meanwhile
            }
            return error;
        }
        if (const int error = calls.set_attribute(to, name, value)) {
            if (is_refusal(error)) {
                continue;
            }
            return error;
        }
    }
    return acl_copied ? 0 : copy_acl(from, to, calls);
}

int copy_metadata(int from, int to, mode_t mode) {
    return copy_metadata(from, to, mode, system_metadata_calls());
}

int make_private(int fd, MetadataCalls& calls) {
    const int error = calls.set_private_acl(fd);
    return is_unsupported(error) ? 0 : error;
}

int make_private(int fd) {
    return make_private(fd, system_metadata_calls());
}

}  // namespace linemorph
