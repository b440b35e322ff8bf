#pragma once

#include "line/linemessages.h"
#include "line/transport/transportregistry.h"

#include <QString>

#include <functional>
#include <optional>

// How a binding by identity (idn:PATTERN) finds the one line its instrument answers on. The port
// asks when it opens or reopens such a binding; finding means probing lines as the scan does,
// which lives above the port, so whoever builds the port hands it a resolver.
class IdentityResolver
{
public:
    struct Result
    {
        QString line; // the binding of the line found; empty when none was
        QString found; // where it was found, for the transcript
        std::optional<LineFailure> failure; // none, or several: why nothing is opened
    };

    virtual ~IdentityResolver() = default;

    // Starts looking for the line `address` names; `done` runs once, later, unless cancel() or
    // another resolve() comes first.
    virtual void resolve(
            int comPort, const LineAddress &address, std::function<void(const Result &)> done)
            = 0;
    virtual void cancel() = 0;
};
