// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>

namespace corvane {

// Notices when a settings file is written, replaced or removed, by this process
// or another (corvanectl beside the app): inotify on its folder, on the given
// executor. A burst of changes is told once, after `quiet` passed without one.
// Where inotify is not available nothing is told.
class SettingsFileWatcher {
public:
    SettingsFileWatcher(const boost::asio::any_io_executor& executor, std::filesystem::path file,
                        std::function<void()> onChange,
                        std::chrono::steady_clock::duration quiet = std::chrono::milliseconds(100));
    ~SettingsFileWatcher();
    SettingsFileWatcher(const SettingsFileWatcher&) = delete;
    SettingsFileWatcher& operator=(const SettingsFileWatcher&) = delete;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace corvane
