// Serves GET /metrics in Prometheus' text format on HOST:PORT from its own
// threads, reading what a collectable holds at each scrape.
#pragma once

#include <memory>
#include <string>

#include <prometheus/collectable.h>

namespace prometheus {
class Exposer;
}

namespace pondrel {

class MetricsServer {
public:
    // Listens on `listen` ("HOST:PORT"; port 0 picks a free one). Throws
    // std::runtime_error "cannot serve metrics on LISTEN: reason".
    MetricsServer(const std::string& listen, std::shared_ptr<prometheus::Collectable> metrics);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // The port it listens on.
    int port() const;

private:
    std::shared_ptr<prometheus::Collectable> metrics_;
    std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace pondrel
