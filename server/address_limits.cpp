#include "server/address_limits.h"

#include <algorithm>
#include <string_view>

namespace palaver::server {

AddressKey AddressKey::of(const asio::ip::address& address) {
    AddressKey key;
    if (address.is_v4()) {
        key.bytes = asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
        return key;
    }
    key.bytes = address.to_v6().to_bytes();
    if (!address.to_v6().is_v4_mapped()) {
        std::fill(key.bytes.begin() + 8, key.bytes.end(), std::uint8_t{0});
    }
    return key;
}

std::string AddressKey::text() const {
    asio::ip::address_v6 v6(bytes);
    if (v6.is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    }
    return v6.to_string() + "/64";
}

std::size_t AddressKeyHash::operator()(const AddressKey& key) const {
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(key.bytes.data()), key.bytes.size()));
}

AddressLimits::AddressLimits(Config config)
    : config_(std::move(config)), exempt_(config_.exempt.begin(), config_.exempt.end()) {
    config_.burst = std::max<std::size_t>(config_.burst, 1);
}

void AddressLimits::refill(Entry& entry, Clock::time_point now) const {
    if (config_.rate <= 0 || now <= entry.filled) {
        return;
    }
    double earned = std::chrono::duration<double>(now - entry.filled).count() * config_.rate;
    entry.tokens = std::min(static_cast<double>(config_.burst), entry.tokens + earned);
    entry.filled = now;
}

AddressLimits::Admission AddressLimits::admit(const AddressKey& address, Clock::time_point now) {
    if (!limited() || exempt_.count(address) != 0) {
        return {};
    }
    auto [found, fresh] = entries_.try_emplace(address);
    Entry& entry = found->second;
    if (fresh) {
        entry.tokens = static_cast<double>(config_.burst);
        entry.filled = now;
    }
    Verdict verdict = Verdict::Admitted;
    if (config_.maxOpen != 0 && entry.open >= config_.maxOpen) {
        verdict = Verdict::TooMany;
    } else if (config_.rate > 0) {
        refill(entry, now);
        if (entry.tokens < 1) {
            verdict = Verdict::TooFast;
        } else {
            entry.tokens -= 1;
        }
    }
    if (verdict == Verdict::Admitted) {
        ++entry.open;
        return {};
    }
    if (now >= entry.quietUntil) {
        entry.quietUntil = now + kReportInterval;
        return {verdict, true};
    }
    ++(verdict == Verdict::TooMany ? entry.tooMany : entry.tooFast);
    return {verdict, false};
}

void AddressLimits::release(const AddressKey& address) {
    // Exempt addresses, and all of them without limits, were never counted.
    auto found = entries_.find(address);
    if (found != entries_.end() && found->second.open > 0) {
        --found->second.open;
    }
}

std::vector<AddressLimits::Report> AddressLimits::sweep(Clock::time_point now) {
    std::vector<Report> reports;
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        bool untold = entry.tooMany != 0 || entry.tooFast != 0;
        if (untold && now >= entry.quietUntil) {
            reports.push_back({it->first, entry.tooMany, entry.tooFast});
            entry.tooMany = entry.tooFast = 0;
            entry.quietUntil = now + kReportInterval;
            untold = false;
        }
        refill(entry, now);
        // Kept through its quiet time, so that an address cannot have its
        // refusals told one by one by letting its entry go in between.
        bool full = config_.rate <= 0 || entry.tokens >= static_cast<double>(config_.burst);
        if (entry.open == 0 && full && !untold && now >= entry.quietUntil) {
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    return reports;
}

}  // namespace palaver::server
