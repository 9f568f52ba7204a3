// The one state all sessions share: who is connected and from which address,
// who is still logging in, who is logged in under which id, the rooms, the
// bans, the settings and the log. The server runs its event loop on one
// thread, so nothing here is locked.
#ifndef PALAVER_SERVER_SERVER_STATE_H
#define PALAVER_SERVER_SERVER_STATE_H

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "server/address_limits.h"
#include "server/bans.h"
#include "server/buffer_pool.h"
#include "server/cluster_link.h"
#include "server/log.h"
#include "server/login_backoff.h"
#include "server/metrics.h"
#include "server/net.h"
#include "server/room.h"
#include "server/settings.h"

namespace palaver::server {

class LoginChecks;
class Session;

class ServerState {
  public:
    ServerState(asio::io_context& io, Settings settings, Log& log);
    ServerState(const ServerState&) = delete;
    ServerState& operator=(const ServerState&) = delete;

    const Settings& settings() const { return settings_; }
    // The accounts read again (a reload); the sessions are the caller's.
    void set_accounts(std::shared_ptr<const Accounts> accounts) {
        settings_.accounts = std::move(accounts);
    }
    Log& log() { return log_; }
    BufferPool& pool() { return pool_; }
    Bans& bans() { return bans_; }
    LoginBackoff& backoff() { return backoff_; }
    // The threads that check hashed login strings; without them (a state
    // on its own, as the fuzzer runs it) the check runs on a later turn of
    // the event loop.
    void attach_checks(LoginChecks* checks) { checks_ = checks; }
    LoginChecks* checks() const { return checks_; }
    Metrics& metrics() { return metrics_; }
    // The Prometheus text of /metrics: the counters and the gauges of now
    // (server/state_metrics.cpp).
    std::string metrics_text() const;

    // The rest of the cluster, when this node is one of several.
    void attach(ClusterLink* link) { link_ = link; }
    ClusterLink* link() const { return link_; }

    // Whether a new connection from `address` may stay, by the limits of
    // one address (--max-per-address, --connect-rate); refusals are logged,
    // summed per address. An admitted one is counted until it is forgotten.
    bool admit(const AddressKey& address, Clock::time_point now);
    // Logs the refusals that were summed, and lets go of addresses that hold
    // nothing any more; about once a second.
    void sweep(Clock::time_point now);
    // A new session, admitted under `address` (none: not counted). At
    // --max-logging-in it closes the oldest session that is still logging in.
    void connected(Session& session, std::optional<AddressKey> address = std::nullopt);
    std::size_t connections() const { return sessions_.size(); }
    // The address an open session is counted under, if any.
    std::optional<AddressKey> address_of(const Session& session) const;
    std::size_t users() const { return users_.size(); }
    Session* find(std::int32_t id) const;
    // The room of this node's users under `key`; null when none is here.
    Room* room(std::uint32_t key) const;
    template <class Visit>
    void for_each_user(Visit visit) const {
        for (const auto& [id, session] : users_) {
            visit(*session);
        }
    }
    template <class Visit>
    void for_each_room(Visit visit) const {
        for (const auto& [key, room] : rooms_) {
            visit(static_cast<const Room&>(*room));
        }
    }

    // Gives the session a fresh user id, puts it in the room its location key
    // names, sends it the login reply and tells the room.
    void join(Session& session);

    enum class Departure { Announced, Silent };
    // Takes a closing session out of everything; its room hears of it.
    void forget(Session& session, Departure departure);

    // The charge of every session's queue together (server/write_queue.h).
    std::size_t* queued_total() { return &queuedTotal_; }
    // True when queueing `charge` more would take it beyond its cap.
    bool queues_full(std::size_t charge) const { return queuedTotal_ + charge > queuedCap_; }
    // Drops the largest queue and disconnects its client: the one that
    // costs the most memory, and most likely the one not reading.
    void shed_largest_queue();

    // Closes every session (graceful shutdown).
    void close_all(std::string_view reason);
    // Ends every session once its queue is written (Session::drain).
    void drain_all(std::string_view reason);
    // The bytes queued and not yet written, every session's together.
    std::size_t unsent() const;
    // Calls `then` on a later turn of the loop once no session is open.
    void when_no_sessions(std::function<void()> then);

  private:
    // What the state keeps of each open session.
    struct Connection {
        std::optional<AddressKey> address;        // counted in limits_ under it
        std::list<Session*>::iterator loggingIn;  // in loggingIn_ until it joins
        bool joined = false;
    };

    std::int32_t next_id();
    void announce_departures(std::uint32_t key);
    std::string refusal_reason(AddressLimits::Verdict verdict) const;

    asio::io_context& io_;
    Settings settings_;
    Log& log_;
    BufferPool pool_;
    Bans bans_;
    Metrics metrics_;
    AddressLimits limits_;
    LoginBackoff backoff_;
    LoginChecks* checks_ = nullptr;
    std::unordered_map<Session*, Connection> sessions_;
    std::list<Session*> loggingIn_;  // the oldest first
    std::unordered_map<std::int32_t, Session*> users_;
    std::unordered_map<std::uint32_t, std::unique_ptr<Room>> rooms_;
    std::size_t queuedTotal_ = 0;
    std::size_t queuedCap_;
    std::int32_t lastId_ = 0;
    bool stopping_ = false;
    std::function<void()> noSessions_;
    ClusterLink* link_ = nullptr;
};

}  // namespace palaver::server

#endif
