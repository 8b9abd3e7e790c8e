// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/PanelError.hpp"

namespace corvane {

PanelError PanelError::rejected(int status, std::optional<std::string> code, std::optional<std::string> message) {
    PanelError e(Case::rejected);
    e.status_ = status;
    e.code_ = std::move(code);
    e.message_ = std::move(message);
    e.describe();
    return e;
}

PanelError PanelError::transientServer(std::optional<int> status) {
    PanelError e(Case::transientServer);
    e.status_ = status;
    e.describe();
    return e;
}

PanelError PanelError::untrustedServer(std::string reason) {
    PanelError e(Case::transientServer);
    e.text_ = std::move(reason);
    e.describe();
    return e;
}

PanelError PanelError::malformedResponse(std::string text) {
    PanelError e(Case::malformedResponse);
    e.text_ = std::move(text);
    e.describe();
    return e;
}

PanelError PanelError::unauthorized() {
    PanelError e(Case::unauthorized);
    e.describe();
    return e;
}

void PanelError::describe() {
    switch (case_) {
    case Case::rejected:
        description_ = "panel refused the request (" + std::to_string(*status_);
        if (code_) description_ += " " + *code_;
        description_ += ")";
        if (message_) description_ += ": " + *message_;
        break;
    case Case::transientServer:
        description_ = "panel unavailable";
        if (status_) description_ += " (" + std::to_string(*status_) + ")";
        if (!text_.empty()) description_ += ": " + text_;
        break;
    case Case::malformedResponse:
        description_ = "panel sent an unexpected response: " + text_;
        break;
    case Case::unauthorized:
        description_ = "panel rejected the token \u2014 sign in again";
        break;
    }
}

bool PanelError::operator==(const PanelError& other) const {
    return case_ == other.case_ && status_ == other.status_ && code_ == other.code_ && message_ == other.message_ &&
           text_ == other.text_;
}

}  // namespace corvane
