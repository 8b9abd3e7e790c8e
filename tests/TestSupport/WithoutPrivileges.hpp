// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

namespace corvane::testing {

// Runs `body` where file permissions apply: as nobody in a child process when
// the test runs as root. The exit status of `body`, or -1 when it could not run.
int withoutPrivileges(const std::function<int()>& body);

}  // namespace corvane::testing
