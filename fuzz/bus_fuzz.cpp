// What a node makes of the bus: any bytes, cut into messages, checked
// against the subject they came on, decoded and fed to the picture of the
// other nodes. Nothing may read past a message, a message is taken only from
// its own node's subject, and what the picture reports must agree with what
// it holds.
//
// Input: messages back to back, each a u8 n naming the subject
// "palaver.node.<n>", a u16 little-endian size and that many bytes (a size
// past the end takes the rest).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "PalaverProfile.h"
#include "protocol/wire.h"
#include "server/cluster/bus_message.h"
#include "server/cluster/bus_origin.h"
#include "server/cluster/remote_view.h"

namespace {

using namespace palaver::server::cluster;

struct Checker : RemoteView::Sink {
    const RemoteView* view = nullptr;
    void joined(const stUserInfo& u) override { require(view->find(u.userId) != nullptr); }
    void departed(std::uint32_t, const std::vector<std::int32_t>& ids) override {
        for (auto id : ids) {
            require(view->find(id) == nullptr);
        }
    }
    void changed(const stUserInfo& u) override {
        const stUserInfo* known = view->find(u.userId);
        require(known != nullptr && palaver::profile::room(*known) == palaver::profile::room(u));
    }
    void heard(const BusTalk& t) override { require(t.text.size() <= kMaxBusText); }
    void kick_asked(const BusKick& k, std::uint16_t) override {
        require(k.by.size() <= kMaxKickerText);
    }
    void resync_needed(std::uint16_t, const std::string&) override {}
    void snapshot_wanted() override {}
    void cut_off(std::uint16_t node, const std::string&) override {
        auto nodes = view->nodes();
        require(std::find(nodes.begin(), nodes.end(), node) == nodes.end());
    }
    static void require(bool holds) {
        if (!holds) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Small limits, so that inputs reach them.
    RemoteView view(1, RemoteView::Limits{6, 10});
    Checker checker;
    checker.view = &view;
    const NodeSet nodes({2, 3, 4, 127});
    while (size >= 3) {
        unsigned on = data[0];
        std::string subject = std::string(kNodeSubjectPrefix) + std::to_string(on);
        std::size_t n = palaver::wire::load_u16(data + 1);
        data += 3;
        size -= 3;
        n = n < size ? n : size;
        // The message's bytes as a subject: only a node's own name parses.
        std::string_view raw(reinterpret_cast<const char*>(data), n);
        if (auto node = subject_node(raw)) {
            Checker::require(raw == std::string(kNodeSubjectPrefix) + std::to_string(*node));
        }
        auto m = decode_bus_message(data, n);
        if (m && from_its_node(subject, m->header, nodes)) {
            Checker::require(m->header.node == on && nodes.contains(on));
            view.apply(*m, checker);
        }
        data += n;
        size -= n;
    }
    for (std::uint16_t node : view.nodes()) {
        view.forget(node, checker);
    }
    Checker::require(view.nodes().empty());
    return 0;
}
