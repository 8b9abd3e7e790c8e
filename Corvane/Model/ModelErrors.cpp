// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Model/ModelErrors.hpp"

#include "CorvaneCore/Panel/ExitSelection.hpp"
#include "CorvaneCore/Panel/PanelError.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"

namespace corvane {

std::string userText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const PanelError& e) {
        return e.description();
    } catch (const TokenStoreError& e) {
        return e.kind() == TokenStoreError::Case::keychain ? credentialStoreText(e.status()) : e.description();
    } catch (const ExitSelection::SelectionError& e) {
        return e.description();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "An unknown error occurred.";
}

namespace {

constexpr const char* orFile = " Or keep the sign-in in a private file instead (readable only by you).";

}  // namespace

std::string credentialStoreText(std::int32_t status) {
    namespace S = CredentialStatus;
    switch (status) {
    case S::noSuchKeychain:
    case S::userCanceled:
        return std::string("Corvane could not keep your sign-in: there is no keyring to keep it in, and creating one was "
                           "cancelled. Sign in again and create the keyring when your desktop asks for it.") +
               orFile;
    case S::interactionNotAllowed:
        return std::string("Corvane could not keep your sign-in: your keyring is locked. Sign in again and unlock the "
                           "keyring when your desktop asks (or unlock it in Passwords and Keys first).") +
               orFile;
    case S::notAvailable:
        return std::string("Corvane could not keep your sign-in: no keyring (Secret Service) answers in this session. "
                           "Start your desktop's keyring (GNOME Keyring or KWallet) and sign in again.") +
               orFile;
    case S::authFailed:
        return std::string("Corvane could not keep your sign-in: the keyring refused access. Sign in again and allow "
                           "access when the keyring asks.") +
               orFile;
    case S::writePermission:
        return "Corvane could not save your sign-in: it has no permission to write its private file in "
               "~/.local/share/corvane (or $XDG_DATA_HOME/corvane). Check that folder's owner and permissions, then "
               "sign in again.";
    case S::io:
        return "Corvane could not read or write its private sign-in file in ~/.local/share/corvane (or "
               "$XDG_DATA_HOME/corvane). Check that the disk has room and the folder is yours, then sign in again.";
    default:
        return std::string("Corvane could not keep your sign-in in the keyring. Sign in again.") + orFile;
    }
}

bool keyringRefused(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const TokenStoreError& e) {
        return e.kind() == TokenStoreError::Case::keychain && e.status() != CredentialStatus::writePermission &&
               e.status() != CredentialStatus::io;
    } catch (...) {
    }
    return false;
}

bool panelUnreachable(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const PanelError& e) {
        return e.kind() == PanelError::Case::transientServer && !e.status();
    } catch (...) {
    }
    return false;
}

}  // namespace corvane
