// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

namespace corvane {

// The name people gave this machine: the pretty host name (systemd-hostnamed,
// else PRETTY_HOSTNAME in /etc/machine-info), else the host name; nothing when
// none is set.
std::optional<std::string> localizedHostName();

// PRETTY_HOSTNAME of a machine-info text (shell-style quoting); nothing when absent or empty.
std::optional<std::string> prettyHostNameFromMachineInfo(const std::string& text);

}  // namespace corvane
