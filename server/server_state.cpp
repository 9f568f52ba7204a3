#include "server/server_state.h"

#include <unistd.h>

#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "PalaverProfile.h"
#include "protocol/login_reply.h"
#include "protocol/server_messages.h"
#include "server/session.h"

namespace palaver::server {

namespace {

// A quarter of the machine's memory, unless the settings name a cap.
std::size_t queued_cap(const Settings& settings) {
    if (settings.maxQueuedTotal != 0) {
        return settings.maxQueuedTotal;
    }
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return std::size_t{1} << 30;
    }
    return static_cast<std::size_t>(pages) / 4 * static_cast<std::size_t>(pageSize);
}

AddressLimits::Config limits_of(const Settings& s) {
    AddressLimits::Config config{s.maxPerAddress, s.connectRate, s.connectBurst, {}};
    for (const std::string& text : s.exemptAddresses) {
        config.exempt.push_back(AddressKey::of(asio::ip::make_address(text)));
    }
    return config;
}

}  // namespace

ServerState::ServerState(asio::io_context& io, Settings settings, Log& log)
    : io_(io),
      settings_(std::move(settings)),
      log_(log),
      limits_(limits_of(settings_)),
      queuedCap_(queued_cap(settings_)) {}

void ServerState::shed_largest_queue() {
    Session* largest = nullptr;
    for (const auto& [session, connection] : sessions_) {
        if (session->queued() > 0 &&
            (largest == nullptr || session->queued() > largest->queued())) {
            largest = session;
        }
    }
    if (largest != nullptr) {
        largest->drop_queue(CloseCause::QueueCap,
                            "the largest queue (" + std::to_string(largest->queued()) +
                                " bytes) when all queues reached their cap of " +
                                std::to_string(queuedCap_) + " bytes");
    }
}

std::string ServerState::refusal_reason(AddressLimits::Verdict verdict) const {
    std::ostringstream text;
    if (verdict == AddressLimits::Verdict::TooMany) {
        text << "more than " << settings_.maxPerAddress << " connections from one address";
    } else {
        text << "more than " << settings_.connectRate << " new connections a second (after "
             << settings_.connectBurst << " at once) from one address";
    }
    return text.str();
}

bool ServerState::admit(const AddressKey& address, Clock::time_point now) {
    auto admission = limits_.admit(address, now);
    if (admission.verdict == AddressLimits::Verdict::Admitted) {
        return true;
    }
    metrics_.refused(admission.verdict);
    if (admission.reportNow) {
        log_.warn("refused a connection from ", address.text(), ": ",
                  refusal_reason(admission.verdict));
    }
    return false;
}

void ServerState::sweep(Clock::time_point now) {
    backoff_.sweep(now);
    using Verdict = AddressLimits::Verdict;
    for (const auto& report : limits_.sweep(now)) {
        std::size_t count = report.tooMany + report.tooFast;
        std::string why;
        if (report.tooMany == 0 || report.tooFast == 0) {
            why = refusal_reason(report.tooMany != 0 ? Verdict::TooMany : Verdict::TooFast);
        } else {
            why = refusal_reason(Verdict::TooMany) + " (" + std::to_string(report.tooMany) + "), " +
                  refusal_reason(Verdict::TooFast) + " (" + std::to_string(report.tooFast) + ")";
        }
        log_.warn("refused ", count, count == 1 ? " connection" : " connections", " from ",
                  report.address.text(), " in ", AddressLimits::kReportInterval.count(),
                  " s: ", why);
    }
}

void ServerState::connected(Session& session, std::optional<AddressKey> address) {
    if (loggingIn_.size() >= settings_.maxLoggingIn && !loggingIn_.empty()) {
        // Its close forgets it, which takes it off the list.
        loggingIn_.front()->close(CloseCause::LoggingInCap,
                                  "closed to make room: " + std::to_string(settings_.maxLoggingIn) +
                                      " connections were logging in");
    }
    loggingIn_.push_back(&session);
    sessions_[&session] = Connection{address, std::prev(loggingIn_.end())};
}

std::optional<AddressKey> ServerState::address_of(const Session& session) const {
    auto found = sessions_.find(const_cast<Session*>(&session));
    return found == sessions_.end() ? std::nullopt : found->second.address;
}

Session* ServerState::find(std::int32_t id) const {
    auto found = users_.find(id);
    return found == users_.end() ? nullptr : found->second;
}

Room* ServerState::room(std::uint32_t key) const {
    auto found = rooms_.find(key);
    return found == rooms_.end() ? nullptr : found->second.get();
}

std::int32_t ServerState::next_id() {
    // Ids count up from 1 and are not handed out again while the server
    // runs, unless two thousand million logins wrap them round. In a cluster
    // the link hands them out, unique across the nodes.
    do {
        if (link_ != nullptr) {
            lastId_ = link_->next_id();
        } else {
            lastId_ = lastId_ == std::numeric_limits<std::int32_t>::max() ? 1 : lastId_ + 1;
        }
    } while (users_.count(lastId_) != 0);
    return lastId_;
}

void ServerState::join(Session& session) {
    auto connection = sessions_.find(&session);
    if (connection != sessions_.end() && !connection->second.joined) {
        loggingIn_.erase(connection->second.loggingIn);
        connection->second.joined = true;
    }
    stUserInfo& user = session.user();
    user.userId = next_id();
    users_.emplace(user.userId, &session);
    std::uint32_t key = profile::room(user);
    auto& slot = rooms_[key];
    if (!slot) {
        slot = std::make_unique<Room>(key);
    }
    Room& room = *slot;

    const auto& others = room.members();
    // The room's users on other nodes follow this node's own.
    std::vector<const stUserInfo*> remote;
    if (const auto* far = link_ != nullptr ? link_->remote_room(key) : nullptr) {
        remote.reserve(far->size());
        for (const auto& [id, record] : *far) {
            remote.push_back(&record);
        }
    }
    std::size_t count = 1 + others.size() + remote.size();
    BufferRef reply = pool_.make(login_reply_size(count));
    encode_login_reply_grouped(reply.writable(), count, [&](std::size_t i) -> const stUserInfo& {
        if (i == 0) {
            return user;
        }
        return i <= others.size() ? others[i - 1]->user() : *remote[i - 1 - others.size()];
    });
    session.deliver_login_reply(reply);
    if (link_ != nullptr) {
        link_->entered(user);
    }

    if (!others.empty()) {
        auto entered = encode_user_entered(user);
        room.broadcast(pool_.copy(entered.data(), entered.size()));
    }
    room.add(session);
}

void ServerState::forget(Session& session, Departure departure) {
    auto connection = sessions_.find(&session);
    if (connection != sessions_.end()) {
        if (connection->second.address) {
            limits_.release(*connection->second.address);
        }
        if (!connection->second.joined) {
            loggingIn_.erase(connection->second.loggingIn);
        }
        sessions_.erase(connection);
        if (sessions_.empty() && noSessions_) {
            asio::post(io_, std::exchange(noSessions_, nullptr));
        }
    }
    if (!session.logged_in()) {
        return;
    }
    users_.erase(session.id());
    if (link_ != nullptr && !stopping_) {
        link_->left(session.id(), profile::room(session.user()));
    }
    Room* room = session.room;
    if (room == nullptr) {
        return;
    }
    bool wasPending = room->departures_pending();
    room->remove(session);
    if (departure == Departure::Silent || stopping_) {
        return;
    }
    if (!wasPending) {
        // Departures of this turn of the loop share one Users left.
        asio::post(io_, [this, key = room->key()] { announce_departures(key); });
    }
}

void ServerState::announce_departures(std::uint32_t key) {
    auto found = rooms_.find(key);
    if (found == rooms_.end()) {
        return;
    }
    Room& room = *found->second;
    room.announce_departures(pool_);
    if (room.empty()) {
        rooms_.erase(found);
    }
}

void ServerState::close_all(std::string_view reason) {
    stopping_ = true;
    std::vector<Session*> all;
    all.reserve(sessions_.size());
    for (const auto& [session, connection] : sessions_) {
        all.push_back(session);
    }
    for (Session* session : all) {
        session->close(CloseCause::Shutdown, reason);
    }
    rooms_.clear();
}

void ServerState::drain_all(std::string_view reason) {
    // Unlike close_all, each departure is announced in its room and to the
    // cluster as it happens: the others are still being served.
    std::vector<Session*> all;
    all.reserve(sessions_.size());
    for (const auto& [session, connection] : sessions_) {
        all.push_back(session);
    }
    for (Session* session : all) {
        session->drain(reason);
    }
}

std::size_t ServerState::unsent() const {
    std::size_t total = 0;
    for (const auto& [session, connection] : sessions_) {
        total += session->unsent();
    }
    return total;
}

void ServerState::when_no_sessions(std::function<void()> then) {
    if (sessions_.empty()) {
        asio::post(io_, std::move(then));
    } else {
        noSessions_ = std::move(then);
    }
}

}  // namespace palaver::server
