// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <exception>
#include <string>

namespace corvane {

class AppGroupError : public std::exception {
public:
    enum class Case { containerUnavailable };

    // The shared container of the group `identifier` cannot be had.
    static AppGroupError containerUnavailable(std::string identifier);

    Case kind() const noexcept { return case_; }
    const std::string& identifier() const noexcept { return identifier_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const AppGroupError& other) const {
        return case_ == other.case_ && identifier_ == other.identifier_;
    }

private:
    AppGroupError(Case c, std::string identifier);

    Case case_;
    std::string identifier_;
    std::string description_;
};

}  // namespace corvane
