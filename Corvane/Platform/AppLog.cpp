// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/AppLog.hpp"

namespace corvane {

LogRing& appLog() {
    static LogRing ring(LogRing::appCapacity);
    return ring;
}

void appLog(std::string level, std::string target, std::string message) {
    appLog().append(std::move(level), std::move(target), std::move(message));
}

}  // namespace corvane
