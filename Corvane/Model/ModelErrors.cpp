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
        return e.description();
    } catch (const ExitSelection::SelectionError& e) {
        return e.description();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "An unknown error occurred.";
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
