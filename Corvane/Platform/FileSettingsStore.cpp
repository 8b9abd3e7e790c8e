// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/FileSettingsStore.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <boost/json/parse.hpp>

#include "Corvane/Platform/AppLog.hpp"
#include "Corvane/Platform/SettingsFileWatcher.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"

namespace corvane {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

std::string cannotSave(const fs::path& file, const std::string& why) {
    return "Could not save settings to " + file.string() + ": " + why;
}

std::string durationText(std::chrono::milliseconds wait) {
    const bool seconds = wait.count() % 1000 == 0;
    std::string text = std::to_string(seconds ? wait.count() / 1000 : wait.count());
    text.append(seconds ? " s" : " ms");
    return text;
}

// Holds the settings' lock file locked for as long as it lives. Another process
// holding it longer than `wait` (one stuck, or stopped in a debugger) makes this
// throw SettingsWriteError rather than hang the caller; other failures throw
// std::system_error.
FileDescriptor lockSettings(const fs::path& file, std::chrono::milliseconds wait) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (!ec) ::chmod(file.parent_path().c_str(), 0700);
    const fs::path lockPath = file.string() + ".lock";
    FileDescriptor fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) fail("cannot open " + lockPath.string());
    // flock has no timed wait: poll, briefly at first, since a writer holds it only for one write.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::chrono::milliseconds pause(1);
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) fail("cannot lock " + lockPath.string());
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            throw SettingsWriteError(cannotSave(file, "another process has held it locked for more than " +
                                                          durationText(wait)));
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    return fd;
}

// Moves a damaged file out of the way without replacing an earlier damaged one.
void setAside(const fs::path& file) {
    for (int n = 0; n < 100; ++n) {
        std::string name = file.string() + ".damaged";
        if (n > 0) name.append(".").append(std::to_string(n));
        const fs::path target = name;
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            appLog("WARN", "settings", "the settings file did not read as JSON; kept as " + target.filename().string());
            return;
        }
        if (errno != EEXIST) break;
    }
    appLog("ERROR", "settings", "the damaged settings file could not be set aside");
}

// The stored object; call with the lock held.
boost::json::object readLocked(const fs::path& file) {
    std::optional<std::string> text;
    try {
        text = readFileIfExists(file);
    } catch (const std::system_error& e) {
        appLog("ERROR", "settings", std::string("the settings file cannot be read: ") + e.what());
        throw;
    }
    if (!text) return {};
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(*text, ec);
    if (ec || !v.is_object()) {
        setAside(file);
        return {};
    }
    return std::move(v.as_object());
}

}  // namespace

FileSettingsStore::FileSettingsStore(fs::path file, std::chrono::milliseconds lockWait)
    : file_(std::move(file)), lockWait_(lockWait) {
    removeAbandonedTemporaries(file_.parent_path());  // what a writer killed mid-write left
}

fs::path FileSettingsStore::defaultPath() { return xdgConfigHome() / "corvane" / "settings.json"; }

boost::json::object FileSettingsStore::values() {
    // Writers replace the file by a rename, so a good file reads whole without the lock;
    // only setting a damaged one aside needs it.
    std::error_code error;
    const std::optional<std::string> text = readFileIfExists(file_, error);
    if (error) {
        appLog("ERROR", "settings", "the settings file cannot be read: " + file_.string() + ": " + error.message());
        return {};  // unreadable settings read as absent
    }
    if (!text) return {};
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(*text, ec);
    if (!ec && v.is_object()) return std::move(v.as_object());
    try {
        auto lock = lockSettings(file_, lockWait_);
        return readLocked(file_);
    } catch (const std::exception&) {
        return {};
    }
}

void FileSettingsStore::update(const std::function<void(boost::json::object&)>& change) {
    FileDescriptor lock;
    boost::json::object object;
    try {
        lock = lockSettings(file_, lockWait_);
        object = readLocked(file_);
    } catch (const std::system_error& e) {
        throw SettingsWriteError(cannotSave(file_, e.code().message()));
    }
    const boost::json::object before = object;
    change(object);
    if (object == before) return;
    try {
        writeFileAtomically(file_, toJSONText(object, 2, true) + "\n", fs::perms(0600));
    } catch (const std::system_error& e) {
        throw SettingsWriteError(cannotSave(file_, e.code().message()));
    }
}

std::shared_ptr<void> FileSettingsStore::observeChanges(const boost::asio::any_io_executor& executor,
                                                        std::function<void()> onChange) {
    return std::make_shared<SettingsFileWatcher>(executor, file_, std::move(onChange));
}

}  // namespace corvane
