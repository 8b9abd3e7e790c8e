// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace corvane {

// The XDG autostart entry that starts the app in the tray at login:
// $XDG_CONFIG_HOME/autostart/corvane.desktop, copied from the template the
// package installs. The copy carries a digest of its text, so an entry the
// user edited (or wrote) is told apart from ours and never overwritten or
// deleted: turning it off hides it (Hidden=true), turning it on un-hides it.
struct AutostartStatus {
    bool enabled = false;  // the desktop starts the app at login
    bool edited = false;   // the entry is the user's own, not our unchanged copy
    std::filesystem::path path;
    bool operator==(const AutostartStatus&) const = default;
};

// A failure that leaves the entry as it was; what() is a sentence for the user.
class AutostartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AutostartEntry {
public:
    // The entry at `path`, copied from `templateFile`.
    AutostartEntry(std::filesystem::path path, std::filesystem::path templateFile);
    // The user's entry and the installed template (beside the program, else the
    // source tree's for a build).
    static AutostartEntry forUser();
    static std::filesystem::path userEntryPath();

    // Throws AutostartError when the entry cannot be read.
    AutostartStatus status() const;
    // Throws AutostartError; returns the new status.
    AutostartStatus set(bool enabled) const;

private:
    std::filesystem::path path_;
    std::filesystem::path template_;
};

}  // namespace corvane
