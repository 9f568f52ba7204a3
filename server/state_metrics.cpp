// The gauges of /metrics, read off the server's state when a monitor asks:
// one walk over the open sessions, on the event loop's thread.
#include <algorithm>

#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {

std::string ServerState::metrics_text() const {
    Metrics::Gauges gauges;
    for (const auto& [session, connection] : sessions_) {
        ++(session->tls() ? gauges.openTls : gauges.openPlain);
        gauges.largestQueue = std::max(gauges.largestQueue, session->queued());
    }
    gauges.loggingIn = loggingIn_.size();
    gauges.users = users_.size();
    gauges.rooms = rooms_.size();
    gauges.queuedBytes = queuedTotal_;
    ClusterStats cluster;
    if (link_ != nullptr) {
        cluster = link_->stats();
        gauges.cluster = &cluster;
    }
    std::string text;
    text.reserve(8192);
    metrics_.render(gauges, text);
    return text;
}

}  // namespace palaver::server
