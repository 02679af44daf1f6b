#include "metrics_page.h"

#include <httplib.h>

#include <prometheus/text_serializer.h>

namespace pondrel {

void serve_metrics(httplib::Server& server, std::shared_ptr<prometheus::Collectable> metrics) {
    server.Get("/metrics", [metrics](const httplib::Request&, httplib::Response& response) {
        const prometheus::TextSerializer text;
        response.set_content(text.Serialize(metrics->Collect()), "text/plain; version=0.0.4; charset=utf-8");
    });
}

}  // namespace pondrel
