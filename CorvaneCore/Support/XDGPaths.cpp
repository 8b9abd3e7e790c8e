// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/XDGPaths.hpp"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace corvane {

namespace {

// Relative values are invalid by the XDG rules and are ignored.
std::filesystem::path fromEnvironment(const char* name, const std::filesystem::path& fallback) {
    if (const char* v = std::getenv(name); v && *v == '/') return v;
    return fallback;
}

}  // namespace

std::filesystem::path homeDirectory() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::filesystem::path xdgDataHome() { return fromEnvironment("XDG_DATA_HOME", homeDirectory() / ".local" / "share"); }
std::filesystem::path xdgStateHome() { return fromEnvironment("XDG_STATE_HOME", homeDirectory() / ".local" / "state"); }
std::filesystem::path xdgConfigHome() { return fromEnvironment("XDG_CONFIG_HOME", homeDirectory() / ".config"); }
std::filesystem::path xdgRuntimeDir() {
    return fromEnvironment("XDG_RUNTIME_DIR", std::filesystem::path("/run/user") / std::to_string(getuid()));
}

}  // namespace corvane
