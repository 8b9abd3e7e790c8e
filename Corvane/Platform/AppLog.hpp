// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "CorvaneCore/Diagnostics/LogRing.hpp"

namespace corvane {

// The app's own log: the recent lines of this process. Safe from any thread.
LogRing& appLog();
void appLog(std::string level, std::string target, std::string message);

}  // namespace corvane
