#pragma once

#include <filesystem>
#include <optional>

#include "Corvane/Platform/SettingsStore.hpp"

namespace corvane {

// Settings in one JSON object file, replaced atomically and readable only by its
// owner. Every change re-reads the file under an exclusive lock, changes its key
// and writes the file back, so two processes never lose each other's keys. A
// file that is not a JSON object is set aside as "<name>.damaged" (never over
// an earlier one) and reads as empty.
class FileSettingsStore final : public SettingsStore {
public:
    explicit FileSettingsStore(std::filesystem::path file = defaultPath());
    // $XDG_CONFIG_HOME/corvane/settings.json.
    static std::filesystem::path defaultPath();

    boost::json::object values() override;
    void set(std::string_view key, boost::json::value value) override;
    void remove(std::string_view key) override;
    // inotify on the file's folder (SettingsFileWatcher).
    std::shared_ptr<void> observeChanges(const boost::asio::any_io_executor& executor,
                                         std::function<void()> onChange) override;

    const std::filesystem::path& path() const noexcept { return file_; }

private:
    void change(std::string_view key, std::optional<boost::json::value> value);

    std::filesystem::path file_;
};

}  // namespace corvane
