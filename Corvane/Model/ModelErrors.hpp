// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace corvane {

// The text the user sees for a failure: the description of our own errors,
// otherwise what the error says about itself.
std::string userText(const std::exception_ptr& error);

// True for a sign-in the keyring would not keep (a prompt cancelled, a keyring
// locked or missing, no Secret Service): the owner-only file could keep it.
bool keyringRefused(const std::exception_ptr& error);

// What a credential status means for the user's sign-in and what to do, in the
// desktop's words (never the status number).
std::string credentialStoreText(std::int32_t status);

// True for a panel that could not be reached at all (no HTTP status).
bool panelUnreachable(const std::exception_ptr& error);

}  // namespace corvane
