// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>

namespace corvane {

// Whether something accepts connections on the Unix socket at `path` now: a
// server that finds one there must not take the path over.
bool someoneListensOn(const std::filesystem::path& path);

}  // namespace corvane
