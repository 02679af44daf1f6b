#include "metrics_server.h"

#include <stdexcept>

#include <prometheus/exposer.h>

namespace pondrel {

MetricsServer::MetricsServer(const std::string& listen, std::shared_ptr<prometheus::Collectable> metrics)
    : metrics_(std::move(metrics)) {
    try {
        // Two threads: a scrape only copies figures, and a slow client holds one.
        exposer_ = std::make_unique<prometheus::Exposer>(listen, 2);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot serve metrics on " + listen + ": " + e.what());
    }
    exposer_->RegisterCollectable(metrics_);
}

MetricsServer::~MetricsServer() = default;

int MetricsServer::port() const {
    const auto ports = exposer_->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

}  // namespace pondrel
