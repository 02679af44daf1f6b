#include "influx_destination.h"

#include <httplib.h>

#include "influx_point.h"
#include "local_time.h"
#include "round_values.h"

namespace pondrel {

InfluxDestination::InfluxDestination(InfluxConfig config) : config_(std::move(config)) {
    if (config_.tls) {
        auto client = std::make_unique<httplib::SSLClient>(config_.host, config_.port);
        if (config_.ca_file) client->set_ca_cert_path(config_.ca_file->c_str());
        client->enable_server_certificate_verification(true);
        client_ = std::move(client);
    } else {
        client_ = std::make_unique<httplib::ClientImpl>(config_.host, config_.port);
    }
    client_->set_connection_timeout(5);
    client_->set_read_timeout(30);
    client_->set_write_timeout(30);
    client_->set_keep_alive(true);
    using httplib::detail::encode_query_param;
    if (config_.version == 1) {
        target_ = config_.path + "/write?db=" + encode_query_param(config_.database) + "&precision=ns";
        if (config_.username) client_->set_basic_auth(config_.username->c_str(), config_.password.c_str());
    } else {
        target_ = config_.path + "/api/v2/write?org=" + encode_query_param(config_.org) +
                  "&bucket=" + encode_query_param(config_.bucket) + "&precision=ns";
        client_->set_default_headers({{"Authorization", "Token " + config_.token}});
    }
}

InfluxDestination::~InfluxDestination() = default;

std::string InfluxDestination::name() const {
    return "InfluxDB " + config_.url + " " +
           (config_.version == 1 ? "database " + config_.database : "bucket " + config_.org + "/" + config_.bucket);
}

std::string InfluxDestination::points_of(const std::vector<History::Row>& rows) {
    std::string body;
    body.reserve(rows.size() * 1400);
    for (const History::Row& row : rows) {
        const std::optional<RoundValues> values = round_values(row.record);
        const std::optional<std::time_t> instant = instant_of_stored(row.saved_at, row.utc_offset_s);
        if (!values || !instant) continue;
        body += influx_point(row.meter, row.data_id, *values,
                             static_cast<std::int64_t>(*instant) * 1000000000LL + row.saved_ms * 1000000LL);
    }
    return body;
}

Destination::Answer InfluxDestination::send(const std::vector<History::Row>& rows) {
    const std::string body = points_of(rows);
    if (body.empty()) return {};
    const httplib::Result result = client_->Post(target_.c_str(), body, "text/plain; charset=utf-8");
    if (!result) return {Verdict::Retry, "cannot be reached (" + httplib::to_string(result.error()) + ")"};
    const int status = result->status;
    if (status >= 200 && status < 300) return {};
    std::string said = result->body;
    if (said.size() > 300) said = said.substr(0, 300) + "...";
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
    const std::string problem = "answers " + std::to_string(status) + (said.empty() ? "" : ": " + said);
    if (status == 400 && (said.find("partial write") != std::string::npos ||
                          said.find("unable to parse") != std::string::npos ||
                          said.find("\"code\":\"invalid\"") != std::string::npos)) {
        return {Verdict::Skip, problem};
    }
    return {Verdict::Retry, problem};
}

}  // namespace pondrel
