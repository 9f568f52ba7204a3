// What a node makes of the bus: any bytes, cut into messages, checked
// against the subject they came on, decoded and fed to the picture of the
// other nodes. Nothing may read past a message, a message is taken only from
// its own node's subject, and what the picture reports must agree with what
// it holds.
//
// Input: messages back to back, each a u8 naming the subject: its low 7 bits
// a node n, bit 7 a room's subject, whose u32 key follows ("palaver.room.
// <key>.<n>"; n = 0 instead makes the view stop watching the room, and no
// message follows), else "palaver.node.<n>"; then a u16 little-endian size
// and that many bytes (a size past the end takes the rest). A room is
// watched from the first message on its subject.
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
    void resync_needed(std::uint16_t, std::uint32_t room, const std::string&) override {
        require(view->watching(room));
    }
    void snapshot_wanted(std::uint32_t) override {}
    void met(std::uint16_t node) override { require(view->knows(node)); }
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
        unsigned on = data[0] & 0x7f;
        std::string subject = node_subject(static_cast<std::uint16_t>(on));
        ++data;
        --size;
        if (data[-1] & 0x80) {
            if (size < 4) {
                break;
            }
            std::uint32_t room = palaver::wire::load_u32(data);
            data += 4;
            size -= 4;
            if (on == 0) {
                view.unwatch(room);
                Checker::require(view.room(room) == nullptr);
                continue;
            }
            view.watch(room);
            subject = room_subject(room, static_cast<std::uint16_t>(on));
        }
        if (size < 2) {
            break;
        }
        std::size_t n = palaver::wire::load_u16(data);
        data += 2;
        size -= 2;
        n = n < size ? n : size;
        // The message's bytes as a subject: only a subject's one spelling parses.
        std::string_view raw(reinterpret_cast<const char*>(data), n);
        if (auto origin = parse_subject(raw)) {
            Checker::require(raw == (origin->room ? room_subject(*origin->room, origin->node)
                                                  : node_subject(origin->node)));
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
