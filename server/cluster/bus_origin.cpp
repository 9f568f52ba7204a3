#include "server/cluster/bus_origin.h"

#include <cstdio>

namespace palaver::server::cluster {
namespace {

std::optional<std::uint16_t> node_number(std::string_view digits) {
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

// Exactly 8 lowercase hex digits: one spelling per room.
std::optional<std::uint32_t> room_key(std::string_view hex) {
    if (hex.size() != 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : hex) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return std::nullopt;
        }
        value = value << 4 | digit;
    }
    return value;
}

std::string hex(std::uint32_t room) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(room));
    return text;
}

}  // namespace

std::string node_subject(std::uint16_t node) {
    return std::string(kNodeSubjectPrefix) + std::to_string(node);
}

std::string room_subject(std::uint32_t room, std::uint16_t node) {
    return std::string(kRoomSubjectPrefix) + hex(room) + "." + std::to_string(node);
}

std::string room_subjects(std::uint32_t room) {
    return std::string(kRoomSubjectPrefix) + hex(room) + ".*";
}

std::optional<SubjectOrigin> parse_subject(std::string_view subject) {
    if (subject.substr(0, kNodeSubjectPrefix.size()) == kNodeSubjectPrefix) {
        auto node = node_number(subject.substr(kNodeSubjectPrefix.size()));
        if (!node) {
            return std::nullopt;
        }
        return SubjectOrigin{*node, std::nullopt};
    }
    if (subject.substr(0, kRoomSubjectPrefix.size()) != kRoomSubjectPrefix) {
        return std::nullopt;
    }
    std::string_view rest = subject.substr(kRoomSubjectPrefix.size());
    auto dot = rest.find('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    auto room = room_key(rest.substr(0, dot));
    auto node = node_number(rest.substr(dot + 1));
    if (!room || !node) {
        return std::nullopt;
    }
    return SubjectOrigin{*node, *room};
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
    auto origin = parse_subject(subject);
    if (!origin || origin->node != header.node || !nodes.contains(header.node)) {
        return false;
    }
    if (is_room_type(header.type)) {
        return origin->room && *origin->room == header.room;
    }
    return !origin->room && header.room == 0 && header.previous == 0;
}

}  // namespace palaver::server::cluster
