// InfluxDB as a destination of stored rounds: each row a point as
// `--format influx` writes it (influx_point), at its round's time, up to 5,000
// a request; version 1 (POST /write?db=&precision=ns, basic auth) or 2 (POST
// /api/v2/write?org=&bucket=&precision=ns, Authorization: Token), over http
// or https. A point sent twice overwrites itself (same series and time).
// Answers: 2xx delivered; no answer, 429 or 5xx retried; a 400 that says the
// points are invalid (a parse error, a partial write) skipped; any other
// refusal (a login, a missing database) retried, said once by the engine.
// The engine's thread only.
#pragma once

#include <memory>
#include <string>

#include "destination.h"
#include "site_config.h"

namespace httplib {
class ClientImpl;
}

namespace pondrel {

class InfluxDestination : public Destination {
public:
    static constexpr std::size_t kBatchPoints = 5000;

    explicit InfluxDestination(InfluxConfig config);
    ~InfluxDestination() override;

    std::string name() const override;
    std::size_t batch_rows() const override { return kBatchPoints; }
    Answer send(const std::vector<History::Row>& rows) override;

    // The request's body of `rows` (a line a point; rows that are no record
    // of this meter, or whose time is unreadable, are left out).
    static std::string points_of(const std::vector<History::Row>& rows);

private:
    const InfluxConfig config_;
    std::unique_ptr<httplib::ClientImpl> client_;
    std::string target_;  // path and query of the write
};

}  // namespace pondrel
