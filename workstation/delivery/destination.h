// Where a delivery engine sends the history's rows: a batch at a time, each
// answered whole (delivered, to be sent again later, or refused for good).
// Called on the engine's thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "history.h"

namespace pondrel {

class Destination {
public:
    enum class Verdict {
        Delivered,  // every row of the batch is stored there
        Retry,      // none may be: the batch goes again after a pause (an outage, a full server, a refusal to fix)
        Skip,       // the destination says the rows themselves are invalid: they are passed over
    };
    struct Answer {
        Verdict verdict = Verdict::Delivered;
        std::string problem;  // why, for Retry and Skip
    };

    virtual ~Destination() = default;
    // "InfluxDB http://127.0.0.1:8086 database site", for messages.
    virtual std::string name() const = 0;
    // The most rows a batch may hold.
    virtual std::size_t batch_rows() const = 0;
    // Sends `rows` (storing order, not empty); blocks for at most the
    // destination's own timeout.
    virtual Answer send(const std::vector<History::Row>& rows) = 0;
};

}  // namespace pondrel
