#include "raw_room_latency.h"

#include <asio.hpp>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "epoll_set.h"
#include "fanout_lines.h"
#include "raw_latency.h"

namespace palaver::bench {

void raw_room_latency(std::uint16_t port, TurnBook& book, std::chrono::seconds stallLimit) {
    asio::io_context io;
    std::vector<std::unique_ptr<RawMember>> members;
    std::unordered_map<std::int32_t, std::size_t> indexOf;
    EpollSet epoll;
    for (std::size_t i = 0; i < book.members(); ++i) {
        members.push_back(std::make_unique<RawMember>(io, port, "raw" + std::to_string(i)));
        indexOf[members.back()->id()] = i;
        epoll.add(members.back()->native_handle(), i);
    }
    auto send = [&](std::size_t self, std::size_t k) {
        book.sending(k);
        members[self]->send_line(book.number_of(k, self));
    };
    std::size_t done = 0;
    std::vector<epoll_event> ready(book.members());
    std::vector<std::pair<std::int32_t, std::uint64_t>> lines;
    send(0, 0);
    while (done < book.members()) {
        int n = epoll.wait(ready.data(), static_cast<int>(ready.size()),
                           static_cast<int>(stallLimit.count() * 1000));
        if (n <= 0) {
            throw std::runtime_error("no line for " + std::to_string(stallLimit.count()) + " s");
        }
        for (int i = 0; i < n; ++i) {
            auto self = static_cast<std::size_t>(ready[i].data.u64);
            lines.clear();
            members[self]->read_lines(lines);
            auto taken = TurnBook::Clock::now();
            for (const auto& [sender, number] : lines) {
                auto from = indexOf.find(sender);
                if (from == indexOf.end() || number == kNotALine) {
                    throw std::runtime_error("a line that was never sent");
                }
                if (book.took(self, from->second, number, taken)) {
                    send(self, book.seen(self));
                }
                done += book.done(self) ? 1 : 0;
            }
        }
    }
}

}  // namespace palaver::bench
