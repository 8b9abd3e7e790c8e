// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <exception>
#include <string>

namespace corvane {

// The text the user sees for a failure: the description of our own errors,
// otherwise what the error says about itself.
std::string userText(const std::exception_ptr& error);

// True for a panel that could not be reached at all (no HTTP status).
bool panelUnreachable(const std::exception_ptr& error);

}  // namespace corvane
