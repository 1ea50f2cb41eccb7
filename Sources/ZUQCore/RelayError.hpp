// How the relay's refusals reach the client's callers.
#pragma once

#include "JSON.hpp"
#include "Protocol.hpp"

#include <optional>
#include <string>

/// A request the relay answered outside 2xx. The message is the relay's "error" sentence, or
/// "Relay returned HTTP <status>" when it sent none; a program tests the status and the
/// reason instead. Relays older than the "reason" member send none.
class RelayError : public ZUQError {
public:
    RelayError(long status, std::optional<Protocol::Reason> reason, const std::string& message)
        : ZUQError(message), status_(status), reason_(reason) {}

    long status() const noexcept { return status_; }
    std::optional<Protocol::Reason> reason() const noexcept { return reason_; }

    /// Whether the credential was revoked: by the reason, or for a relay that sends no reason,
    /// by the sentence such relays send.
    bool revoked() const {
        if (reason_) {
            return *reason_ == Protocol::Reason::revoked;
        }
        return std::string_view(what()).find("revoked device credential") != std::string_view::npos;
    }

private:
    long status_;
    std::optional<Protocol::Reason> reason_;
};
