#pragma once

#include <filesystem>

namespace corvane {

// $XDG_DATA_HOME, or ~/.local/share.
std::filesystem::path xdgDataHome();
// $XDG_CONFIG_HOME, or ~/.config.
std::filesystem::path xdgConfigHome();
// $XDG_RUNTIME_DIR, or /run/user/<uid>.
std::filesystem::path xdgRuntimeDir();

}  // namespace corvane
