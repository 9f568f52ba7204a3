// Bus messages on their way from the NATS client's thread to the server's
// event loop: appended under a lock into one buffer, taken all at once, with
// one wake-up of the loop per batch rather than per message. Bounded: past
// its limits it drops and counts, and the loop learns how many.
#ifndef PALAVER_SERVER_CLUSTER_INBOX_H
#define PALAVER_SERVER_CLUSTER_INBOX_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace palaver::server::cluster {

class Inbox {
  public:
    Inbox(std::size_t maxMessages, std::size_t maxBytes)
        : maxMessages_(maxMessages), maxBytes_(maxBytes) {}

    enum class Put { Wake, Queued, Dropped };
    // From the bus thread. Wake: the inbox was empty, so the caller has the
    // loop take it.
    Put put(const std::uint8_t* bytes, std::size_t size);

    // From the loop: every waiting message, in order, into `batch` as a u32
    // size and the bytes, back to back; returns how many were dropped since
    // the last take.
    std::uint64_t take(std::vector<std::uint8_t>& batch);

    // Walks a batch that take() filled.
    template <class Visit>
    static void for_each(const std::vector<std::uint8_t>& batch, Visit visit) {
        std::size_t at = 0;
        while (batch.size() - at >= 4) {
            std::size_t size = load_size(batch.data() + at);
            visit(batch.data() + at + 4, size);
            at += 4 + size;
        }
    }

  private:
    static std::size_t load_size(const std::uint8_t* p);

    std::size_t maxMessages_;
    std::size_t maxBytes_;
    std::mutex lock_;
    std::vector<std::uint8_t> bytes_;
    std::size_t count_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace palaver::server::cluster

#endif
