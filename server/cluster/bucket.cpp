#include "server/cluster/bucket.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

#include "server/cluster/remote_view.h"
#include "server/log.h"

namespace palaver::server::cluster {
namespace {

// Ids are reserved a block at a time.
constexpr std::uint32_t kIdBlock = 1u << 16;
constexpr std::uint32_t kIdLimit = 1u << kNodeShift;
constexpr long long kLongestBanMinutes = 100LL * 366 * 24 * 60;
constexpr std::string_view kBanPrefix = "ban.";

// Bucket keys allow few characters; login names are any bytes.
std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

std::optional<std::string> unhex(const std::string& text) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::optional<long long> number(const std::string& text) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoll(text);
}

// Bans are stored with their end in wall-clock time, which every node
// shares.
long long wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Bucket::Bucket(std::uint16_t node, const NodeSet& nodes, Log& log, Store store)
    : node_(node), nodes_(nodes), log_(log), store_(std::move(store)) {}

std::string Bucket::ids_key() const {
    return "ids." + std::to_string(node_);
}

void Bucket::resume_ids(const std::optional<std::string>& stored) {
    if (stored) {
        auto from = number(*stored);
        counter_ = from && *from > 0 && *from < kIdLimit ? static_cast<std::uint32_t>(*from) : 1;
    }
    reserved_ = counter_;
}

std::int32_t Bucket::upcoming_id() const {
    return (std::int32_t{node_} << kNodeShift) | static_cast<std::int32_t>(counter_);
}

std::int32_t Bucket::next_id() {
    if (counter_ >= kIdLimit) {
        counter_ = 1;
        reserved_ = 1;
        log_.warn("cluster: the user ids of node ", node_, " wrap round");
    }
    std::int32_t id = upcoming_id();
    ++counter_;
    if (counter_ + kIdBlock / 2 > reserved_) {
        reserved_ = std::min(counter_ + kIdBlock, kIdLimit);
        store_reservation();
    }
    return id;
}

void Bucket::store_reservation() {
    reservationStored_ = store_(ids_key(), std::to_string(reserved_));
}

void Bucket::ban(const std::string& name, std::int32_t minutes) {
    if (minutes <= 0) {
        return;
    }
    long long until = wall_ms() + std::min<long long>(minutes, kLongestBanMinutes) * 60000;
    store_ban(std::string(kBanPrefix) + hex(name), std::to_string(until) + " " + writer());
}

void Bucket::unban(const std::string& name) {
    store_ban(std::string(kBanPrefix) + hex(name), "0 " + writer());
}

std::string Bucket::writer() const {
    return std::to_string(node_);
}

void Bucket::store_ban(const std::string& key, const std::string& value) {
    if (!store_(key, value)) {
        log_.warn("cluster: the bus is away; a ban is stored once it is back");
        unstoredBans_[key] = value;
    }
}

std::optional<Bucket::BanNews> Bucket::stored(const std::string& key, const std::string& value) {
    auto name = key.rfind(kBanPrefix, 0) == 0 ? unhex(key.substr(kBanPrefix.size())) : std::nullopt;
    auto space = value.find(' ');
    auto until = value.empty() ? std::optional<long long>(0) : number(value.substr(0, space));
    if (!name || !until) {
        log_.warn("cluster: ignored a malformed bucket entry ", untrusted(key));
        return std::nullopt;
    }
    // Only the cluster's nodes write bans; an entry that does not name one
    // comes from some other bus client.
    auto writer = space == std::string::npos ? std::nullopt : number(value.substr(space + 1));
    if (!value.empty() && (!writer || *writer > kMaxNodeId ||
                           !nodes_.contains(static_cast<std::uint16_t>(*writer)))) {
        log_.warn("cluster: ignored the bucket entry ", untrusted(key), " = \"", untrusted(value),
                  "\": not written by one of the cluster's nodes");
        return std::nullopt;
    }
    if (*until == 0) {
        return BanNews{*name, std::nullopt};
    }
    if (*until <= wall_ms()) {
        return std::nullopt;
    }
    // Whole seconds, rounded up: the ban lasts at least as long as stored,
    // and no longer than a ban may (an end past the clock's range is cut).
    Bans::Until end{std::chrono::seconds((*until + 999) / 1000)};
    end = std::min(end, Bans::latest(Bans::Clock::now()));
    return BanNews{*name, end};
}

void Bucket::reconnected() {
    if (!reservationStored_) {
        store_reservation();
    }
    auto waiting = std::move(unstoredBans_);
    unstoredBans_.clear();
    for (const auto& [key, value] : waiting) {
        store_ban(key, value);
    }
}

}  // namespace palaver::server::cluster
