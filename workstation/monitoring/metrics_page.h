// GET /metrics on an HTTP server: Prometheus' text format of what a
// collectable holds at each scrape (read on the server's threads).
#pragma once

#include <memory>

#include <prometheus/collectable.h>

namespace httplib {
class Server;
}

namespace pondrel {

void serve_metrics(httplib::Server& server, std::shared_ptr<prometheus::Collectable> metrics);

}  // namespace pondrel
