// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/AtomicFile.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <utility>
#include <unistd.h>

#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void randomBytes(void* buffer, std::size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("the system's random number generator failed");
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::string makeUUID() {
    unsigned char b[16];
    randomBytes(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view contents, std::filesystem::perms mode) {
    const std::filesystem::path directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::filesystem::path temporary;
    FileDescriptor fd;
    auto fail = [&](const std::string& what) {
        int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        throwErrno(what);
    };
    // Locked before anything is written, so that a cleaner never takes a live
    // writer's file for an abandoned one. A cleaner that locked it first has
    // removed it by the time the lock is ours: then start again with a new name.
    for (;;) {
        temporary = directory / (".tmp-" + makeUUID());
        fd = FileDescriptor(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode)));
        if (fd.get() < 0) throwErrno("cannot create " + temporary.string());
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) fail("cannot lock " + temporary.string());
        }
        struct stat opened {}, named {};
        if (::fstat(fd.get(), &opened) != 0) fail("cannot inspect " + temporary.string());
        if (::stat(temporary.c_str(), &named) == 0 && named.st_ino == opened.st_ino && named.st_dev == opened.st_dev) break;
    }
    // The umask may have narrowed the mode; set exactly what was asked for.
    if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) fail("cannot set the mode of " + temporary.string());
    const char* p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write " + temporary.string());
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) fail("cannot flush " + temporary.string());
    // Renamed while still locked; closing then releases the lock.
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot replace " + path.string());
    if (::close(fd.release()) != 0) throwErrno("cannot close " + path.string());
}

std::size_t removeAbandonedTemporaries(const std::filesystem::path& directory) {
    std::size_t removed = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::filesystem::path& file = it->path();
        if (!file.filename().string().starts_with(".tmp-")) continue;
        FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (fd.get() < 0) continue;
        struct stat opened {};
        if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
        // A live writer holds its file locked until it has renamed it.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
        struct stat named {};
        if (::lstat(file.c_str(), &named) != 0 || named.st_ino != opened.st_ino || named.st_dev != opened.st_dev) continue;
        if (::unlink(file.c_str()) == 0) ++removed;
    }
    return removed;
}

std::optional<std::string> readFileIfExists(const std::filesystem::path& path, std::error_code& error) {
    error.clear();
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno != ENOENT && errno != ENOTDIR) error.assign(errno, std::generic_category());
        return std::nullopt;
    }
    std::string out;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error.assign(errno, std::generic_category());
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::optional<std::string> readFileIfExists(const std::filesystem::path& path) {
    std::error_code error;
    auto text = readFileIfExists(path, error);
    if (error) throw std::system_error(error, "cannot read " + path.string());
    return text;
}

}  // namespace corvane
