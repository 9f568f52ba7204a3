#include "server/cluster/bus_origin.h"

namespace palaver::server::cluster {

std::optional<std::uint16_t> subject_node(std::string_view subject) {
    if (subject.substr(0, kNodeSubjectPrefix.size()) != kNodeSubjectPrefix) {
        return std::nullopt;
    }
    std::string_view digits = subject.substr(kNodeSubjectPrefix.size());
    if (digits.empty() || digits.size() > 3 || digits[0] == '0') {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > kMaxNodeId) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

NodeSet::NodeSet(const std::vector<std::uint16_t>& ids) {
    if (ids.empty()) {
        set_.set();
        set_.reset(0);
        return;
    }
    for (std::uint16_t id : ids) {
        if (id >= 1 && id <= kMaxNodeId) {
            set_.set(id);
        }
    }
}

bool from_its_node(std::string_view subject, const BusHeader& header, const NodeSet& nodes) {
    auto node = subject_node(subject);
    return node && *node == header.node && nodes.contains(header.node);
}

}  // namespace palaver::server::cluster
