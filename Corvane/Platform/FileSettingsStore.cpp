#include "Corvane/Platform/FileSettingsStore.hpp"

#include <cerrno>
#include <cstdio>
#include <system_error>

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

// Holds the settings' lock file locked for as long as it lives.
FileDescriptor lockSettings(const fs::path& file) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (!ec) ::chmod(file.parent_path().c_str(), 0700);
    const fs::path lockPath = file.string() + ".lock";
    FileDescriptor fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) fail("cannot open " + lockPath.string());
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) fail("cannot lock " + lockPath.string());
    }
    return fd;
}

// Moves a damaged file out of the way without replacing an earlier damaged one.
void setAside(const fs::path& file) {
    for (int n = 0; n < 100; ++n) {
        fs::path target = file.string() + ".damaged" + (n == 0 ? "" : "." + std::to_string(n));
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

FileSettingsStore::FileSettingsStore(fs::path file) : file_(std::move(file)) {}

fs::path FileSettingsStore::defaultPath() { return xdgConfigHome() / "corvane" / "settings.json"; }

boost::json::object FileSettingsStore::values() {
    try {
        auto lock = lockSettings(file_);
        return readLocked(file_);
    } catch (const std::system_error&) {
        return {};  // unreadable settings read as absent
    }
}

void FileSettingsStore::set(std::string_view key, boost::json::value value) { change(key, std::move(value)); }

void FileSettingsStore::remove(std::string_view key) { change(key, std::nullopt); }

std::shared_ptr<void> FileSettingsStore::observeChanges(const boost::asio::any_io_executor& executor,
                                                        std::function<void()> onChange) {
    return std::make_shared<SettingsFileWatcher>(executor, file_, std::move(onChange));
}

void FileSettingsStore::change(std::string_view key, std::optional<boost::json::value> value) {
    auto lock = lockSettings(file_);
    boost::json::object object = readLocked(file_);
    if (value) {
        object.insert_or_assign(key, std::move(*value));
    } else if (object.erase(key) == 0) {
        return;
    }
    writeFileAtomically(file_, toJSONText(object, 2, true) + "\n", fs::perms(0600));
}

}  // namespace corvane
