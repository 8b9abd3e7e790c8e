// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/EngineService.hpp"

namespace corvane {

void EngineService::resetNetwork() noexcept {
    try {
        process_.controlRequest("DELETE", "/connections");
    } catch (...) {
    }
}

}  // namespace corvane
