// One node's connection to the NATS bus: its own subjects to publish on, the
// subscriptions to every node's subject and to the rooms it has users in
// (server/cluster/bus_origin.h names them), and the key-value bucket that keeps
// what must outlive a node (bans, id reservations). The NATS client calls
// back on its own threads; Handlers must hand the work to the owner's thread.
#ifndef PALAVER_SERVER_CLUSTER_NATS_BUS_H
#define PALAVER_SERVER_CLUSTER_NATS_BUS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/settings.h"

namespace palaver::server::cluster {

constexpr const char* kBucket = "palaver";

class NatsBus {
  public:
    struct Handlers {
        // A message on another node's subject, with the subject it arrived on.
        std::function<void(std::string_view subject, const std::uint8_t* bytes, std::size_t size)>
            message;
        // The connection was lost (false) or is back (true).
        std::function<void(bool connected)> connection;
        // The client reports a problem, e.g. that it dropped messages.
        std::function<void(const std::string& what)> problem;
        // A bucket key under "ban." was put, or deleted (`value` empty): for
        // each one already stored before the constructor returns, then as
        // they change.
        std::function<void(const std::string& key, const std::string& value)> stored;
    };

    // Connects with the settings' credentials (over TLS for a tls:// URL,
    // verified before any credential goes out), binds or creates the bucket
    // and starts listening. Throws std::runtime_error when the bus cannot be
    // reached, refuses the credentials or has no JetStream.
    NatsBus(const ClusterSettings& settings, Handlers handlers);
    ~NatsBus();
    NatsBus(const NatsBus&) = delete;
    NatsBus& operator=(const NatsBus&) = delete;

    // False when the message could not be handed to the connection (the bus
    // is away); it is then lost, and the receivers notice the gap.
    bool publish(const std::string& subject, const std::vector<std::uint8_t>& message);
    // Starts or stops listening to every node's subject of a room; the
    // client subscribes again by itself after a reconnect.
    void listen(std::uint32_t room);
    void stop_listening(std::uint32_t room);
    bool connected() const;

    // Puts a bucket value without waiting for the bus's answer.
    bool store(const std::string& key, const std::string& value);
    // Reads a bucket value, waiting for the answer (start-up only).
    std::optional<std::string> load(const std::string& key);

    // The NATS client's objects; only nats_bus.cpp sees its header.
    struct Client;

  private:
    void watch();

    Handlers handlers_;
    std::unique_ptr<Client> client_;
    std::atomic<bool> stopping_{false};
    std::promise<void> caughtUp_;  // the bans stored before the watch began are handed over
    std::thread watchThread_;
};

}  // namespace palaver::server::cluster

#endif
