// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>

namespace corvane {

// $XDG_DATA_HOME, or ~/.local/share.
std::filesystem::path xdgDataHome();
// $XDG_STATE_HOME, or ~/.local/state.
std::filesystem::path xdgStateHome();
// $XDG_CONFIG_HOME, or ~/.config.
std::filesystem::path xdgConfigHome();
// $XDG_RUNTIME_DIR, or /run/user/<uid>.
std::filesystem::path xdgRuntimeDir();
// $HOME, or the account's home directory when HOME is unset or empty.
std::filesystem::path homeDirectory();

}  // namespace corvane
