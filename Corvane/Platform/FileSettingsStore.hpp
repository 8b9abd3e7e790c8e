// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <filesystem>

#include "Corvane/Platform/SettingsStore.hpp"

namespace corvane {

// Settings in one JSON object file, replaced atomically and readable only by its
// owner. Every change re-reads the file under an exclusive lock, changes it and
// writes the file back, so two processes never lose each other's changes. A
// change waits at most `lockWait` for another process's lock, then fails. A file
// that is not a JSON object is set aside as "<name>.damaged" (never over an
// earlier one) and reads as empty.
class FileSettingsStore final : public SettingsStore {
public:
    static constexpr std::chrono::milliseconds defaultLockWait{5000};

    explicit FileSettingsStore(std::filesystem::path file = defaultPath(),
                               std::chrono::milliseconds lockWait = defaultLockWait);
    // $XDG_CONFIG_HOME/corvane/settings.json.
    static std::filesystem::path defaultPath();

    boost::json::object values() override;
    void update(const std::function<void(boost::json::object&)>& change) override;
    // inotify on the file's folder (SettingsFileWatcher).
    std::shared_ptr<void> observeChanges(const boost::asio::any_io_executor& executor,
                                         std::function<void()> onChange) override;

    const std::filesystem::path& path() const noexcept { return file_; }

private:
    std::filesystem::path file_;
    std::chrono::milliseconds lockWait_;
};

}  // namespace corvane
