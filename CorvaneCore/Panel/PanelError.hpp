// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace corvane {

// The one error of every panel call.
class PanelError : public std::exception {
public:
    enum class Case { rejected, transientServer, malformedResponse, unauthorized };

    static PanelError rejected(int status, std::optional<std::string> code = {}, std::optional<std::string> message = {});
    static PanelError transientServer(std::optional<int> status = {});
    // A panel whose TLS handshake failed (an untrusted or mismatched certificate): still
    // unavailable, but the reason is the user's to fix, so it is named.
    static PanelError untrustedServer(std::string reason);
    static PanelError malformedResponse(std::string text);
    static PanelError unauthorized();

    Case kind() const noexcept { return case_; }
    std::optional<int> status() const noexcept { return status_; }
    const std::optional<std::string>& code() const noexcept { return code_; }
    const std::optional<std::string>& message() const noexcept { return message_; }
    // The malformedResponse payload; an untrusted server's reason.
    const std::string& text() const noexcept { return text_; }

    // Only a transient server failure is worth retrying.
    bool isRetryable() const noexcept { return case_ == Case::transientServer; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const PanelError& other) const;

private:
    explicit PanelError(Case c) : case_(c) {}
    void describe();

    Case case_;
    std::optional<int> status_;
    std::optional<std::string> code_;
    std::optional<std::string> message_;
    std::string text_;
    std::string description_;
};

}  // namespace corvane
