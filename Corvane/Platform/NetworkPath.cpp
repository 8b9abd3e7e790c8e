// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/NetworkPath.hpp"

namespace corvane {

std::string NetworkPath::signature() const {
    std::string text = satisfied ? "true:" : "false:";
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        if (i > 0) text += ',';
        text += interfaces[i].name + ":" + std::to_string(interfaces[i].index);
    }
    return text;
}

}  // namespace corvane
