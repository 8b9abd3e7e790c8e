// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/EngineAccount.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane {

std::optional<EngineAccount> findEngineAccount(const std::string& name) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int error = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    // "Not found" comes back as 0 or, from some sources, as one of these.
    if (error != 0 && error != ENOENT && error != ESRCH && error != EBADF && error != EPERM) {
        throw std::system_error(error, std::generic_category(), "cannot look up the engine's account " + name);
    }
    if (!found) return std::nullopt;
    if (found->pw_uid == 0) {
        throw std::system_error(EPERM, std::generic_category(), "the engine's account " + name + " is root");
    }
    return EngineAccount{name, found->pw_uid, found->pw_gid};
}

void prepareEngineFolder(const std::filesystem::path& folder, const EngineAccount& account) {
    auto fail = [&](std::string what) {
        throw std::system_error(errno, std::generic_category(), what + " " + folder.string());
    };
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot create the engine's folder");
    // Looked at from outside: the service need not be able to enter it once it is the engine's.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) fail("cannot inspect the engine's folder");
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        fail("the engine's folder is not a folder:");
    }
    if (st.st_uid == account.uid && st.st_gid == account.gid) {
        if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) fail("cannot make private the folder");
        return;
    }
    // Left by an earlier engine of another account: what it holds (the cache) goes over too.
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) fail("cannot open the engine's folder");
    FileDescriptor listing(::dup(dir.get()));
    DIR* entries = listing.valid() ? ::fdopendir(listing.get()) : nullptr;
    if (!entries) fail("cannot list the engine's folder");
    listing.release();
    while (const dirent* e = ::readdir(entries)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (::fchownat(dir.get(), e->d_name, account.uid, account.gid, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            ::closedir(entries);
            errno = error;
            fail(std::string("cannot hand ") + e->d_name + " over to " + account.name + " in");
        }
    }
    ::closedir(entries);
    // The mode first: once the folder is the engine's, only its owner may change it.
    if (::fchmod(dir.get(), 0700) != 0) fail("cannot make private the folder");
    if (::fchown(dir.get(), account.uid, account.gid) != 0) fail("cannot hand over to " + account.name + " the folder");
}

namespace {

// Only async-signal-safe calls from here on: this runs between fork and exec.
[[noreturn]] void die(const char* step) noexcept {
    char line[160] = "FATAL[0000] cannot run the engine as its own account: ";
    std::size_t n = std::strlen(line);
    for (const char* p = step; *p && n < sizeof line - 24; ++p) line[n++] = *p;
    const char* errorText = " failed (errno ";
    for (const char* p = errorText; *p; ++p) line[n++] = *p;
    char digits[12];
    int d = 0;
    for (unsigned value = static_cast<unsigned>(errno); d == 0 || value > 0; value /= 10) digits[d++] = static_cast<char>('0' + value % 10);
    while (d > 0) line[n++] = digits[--d];
    line[n++] = ')';
    line[n++] = '\n';
    (void)!::write(STDERR_FILENO, line, n);
    ::_exit(126);
}

constexpr int kKeptCapabilities[] = {CAP_NET_ADMIN, CAP_NET_RAW};

}  // namespace

void becomeEngineAccount(const EngineAccount& account, pid_t parent) noexcept {
    // Nothing beyond the two may ever come back, not even through a program with file capabilities.
    for (int cap = 0; cap <= 63; ++cap) {
        if (cap == CAP_NET_ADMIN || cap == CAP_NET_RAW) continue;
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL && errno != EPERM) die("dropping the bounding set");
    }
    if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) die("keeping capabilities");
    if (::setgroups(0, nullptr) != 0) die("setgroups");
    if (::setresgid(account.gid, account.gid, account.gid) != 0) die("setresgid");
    if (::setresuid(account.uid, account.uid, account.uid) != 0) die("setresuid");

    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    for (int cap : kKeptCapabilities) {
        data[cap / 32].effective |= 1u << (cap % 32);
        data[cap / 32].permitted |= 1u << (cap % 32);
        data[cap / 32].inheritable |= 1u << (cap % 32);
    }
    if (::syscall(SYS_capset, &header, data) != 0) die("capset");
    for (int cap : kKeptCapabilities) {
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0) die("raising the ambient capabilities");
    }
    if (::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0) die("keeping capabilities");
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) die("no new privileges");
    // A change of account clears the parent-death signal: set it again.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0) != 0) die("the parent-death signal");
    if (::getppid() != parent) ::_exit(126);
}

}  // namespace corvane
