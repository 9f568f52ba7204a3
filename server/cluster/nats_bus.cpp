#include "server/cluster/nats_bus.h"

#include <nats/nats.h>

#include <stdexcept>

#include "server/cluster/bus_credentials.h"
#include "server/cluster/bus_origin.h"

namespace palaver::server::cluster {
namespace {

using Handlers = NatsBus::Handlers;

void check(natsStatus status, const std::string& what) {
    if (status != NATS_OK) {
        throw std::runtime_error(what + ": " + natsStatus_GetText(status));
    }
}

void on_message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* handlers = static_cast<Handlers*>(closure);
    const char* subject = natsMsg_GetSubject(msg);
    handlers->message(subject ? std::string_view(subject) : std::string_view(),
                      reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg)),
                      static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
}

void on_disconnected(natsConnection*, void* closure) {
    static_cast<Handlers*>(closure)->connection(false);
}

void on_reconnected(natsConnection*, void* closure) {
    static_cast<Handlers*>(closure)->connection(true);
}

void on_error(natsConnection*, natsSubscription*, natsStatus status, void* closure) {
    static_cast<Handlers*>(closure)->problem(std::string("the bus client reports: ") +
                                             natsStatus_GetText(status));
}

// TLS first, for a tls:// URL: the client then refuses a bus that does not
// offer TLS or whose certificate does not verify, before CONNECT carries any
// credential. The NATS client itself sees no difference between the two
// schemes, so the choice is made here.
void secure(natsOptions* o, const ClusterSettings& settings) {
    if (settings.url.rfind("tls://", 0) != 0) {
        return;
    }
    check(natsOptions_SetSecure(o, true), "bus TLS");
    if (!settings.caFile.empty()) {
        check(natsOptions_LoadCATrustedCertificates(o, settings.caFile.c_str()),
              "reading the bus's CA certificates from " + settings.caFile);
    }
    // The client checks a host name against the certificate, never an IP
    // address: a bus named by its address is verified by its chain alone
    // (bus_warnings says so at start).
    const std::string host = bus_host(settings.url);
    if (!is_ip_address(host)) {
        check(natsOptions_SetExpectedHostname(o, host.c_str()), "bus TLS host name " + host);
    }
}

void authenticate(natsOptions* o, const ClusterSettings& settings) {
    if (settings.credentialsFile.empty()) {
        return;
    }
    std::string error;
    auto credentials = read_bus_credentials(settings.credentialsFile, error);
    if (!credentials) {
        throw std::runtime_error("bus credentials: " + error);
    }
    const char* path = credentials->path.c_str();
    switch (credentials->kind) {
        case BusCredentials::Kind::Password:
            check(natsOptions_SetUserInfo(o, credentials->user.c_str(),
                                          credentials->password.c_str()),
                  "bus user");
            break;
        case BusCredentials::Kind::Creds:
            check(natsOptions_SetUserCredentialsFromFiles(o, path, nullptr),
                  "bus credentials file " + credentials->path);
            break;
        case BusCredentials::Kind::NKeySeed:
            check(natsOptions_SetNKeyFromSeed(o, credentials->user.c_str(), path),
                  "bus nkey seed " + credentials->path);
            break;
        case BusCredentials::Kind::None:
            break;
    }
}

}  // namespace

// Released in the reverse order of their making.
struct NatsBus::Client {
    natsOptions* options = nullptr;
    natsConnection* connection = nullptr;
    natsSubscription* subscription = nullptr;
    std::map<std::uint32_t, natsSubscription*> rooms;
    jsCtx* js = nullptr;
    kvStore* kv = nullptr;
    kvWatcher* watcher = nullptr;

    ~Client() {
        kvWatcher_Destroy(watcher);
        kvStore_Destroy(kv);
        jsCtx_Destroy(js);
        if (connection != nullptr &&
            natsConnection_Status(connection) == NATS_CONN_STATUS_CONNECTED) {
            natsConnection_FlushTimeout(connection, 1000);  // the last words go out
        }
        for (auto& [room, s] : rooms) {
            natsSubscription_Unsubscribe(s);
            natsSubscription_Destroy(s);
        }
        if (subscription != nullptr) {
            natsSubscription_Unsubscribe(subscription);
            natsSubscription_Destroy(subscription);
        }
        natsConnection_Destroy(connection);
        natsOptions_Destroy(options);
        // No callback of the client's threads may run after this.
        nats_CloseAndWait(5000);
    }
};

NatsBus::NatsBus(const ClusterSettings& settings, Handlers handlers)
    : handlers_(std::move(handlers)), client_(std::make_unique<Client>()) {
    Client& c = *client_;
    check(natsOptions_Create(&c.options), "bus options");
    natsOptions* o = c.options;
    const std::string& url = settings.url;
    const auto reconnectWait = settings.reconnectWait;
    std::string name = "palaver-node-" + std::to_string(settings.node);
    check(natsOptions_SetURL(o, url.c_str()), "bus address " + url);
    secure(o, settings);
    authenticate(o, settings);
    natsOptions_SetName(o, name.c_str());
    natsOptions_SetTimeout(o, 3000);
    natsOptions_SetAllowReconnect(o, true);
    natsOptions_SetMaxReconnect(o, -1);  // forever: the node keeps serving meanwhile
    natsOptions_SetReconnectWait(o, reconnectWait.count());
    natsOptions_SetReconnectJitter(o, reconnectWait.count() / 4, reconnectWait.count() / 4);
    // What is published while the bus is away is not kept for later: the
    // receivers see the gap in the sequence and ask for a snapshot instead.
    natsOptions_SetReconnectBufSize(o, 64 * 1024);
    natsOptions_SetNoEcho(o, true);
    natsOptions_SetDisconnectedCB(o, on_disconnected, &handlers_);
    natsOptions_SetReconnectedCB(o, on_reconnected, &handlers_);
    natsOptions_SetErrorHandler(o, on_error, &handlers_);
    // One delivery thread for every subscription, not one per room: it hands
    // the messages of all of them to the owner in the order they came.
    nats_SetMessageDeliveryPoolSize(1);
    natsOptions_UseGlobalMessageDelivery(o, true);

    check(natsConnection_Connect(&c.connection, o), "cannot reach the bus at " + url);
    std::string all = std::string(kNodeSubjectPrefix) + "*";
    check(natsConnection_Subscribe(&c.subscription, c.connection, all.c_str(), on_message,
                                   &handlers_),
          "subscribing to " + all);
    // The owner never falls this far behind while it keeps up; beyond it the
    // client drops, reports it, and the gap leads to a snapshot.
    natsSubscription_SetPendingLimits(c.subscription, 1 << 20, 256 << 20);
    check(natsConnection_FlushTimeout(c.connection, 3000), "bus flush");

    check(natsConnection_JetStream(&c.js, c.connection, nullptr), "bus JetStream context");
    if (js_KeyValue(&c.kv, c.js, kBucket) != NATS_OK) {
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = kBucket;
        config.History = 1;
        check(js_CreateKeyValue(&c.kv, c.js, &config),
              "the bus keeps no key-value bucket (is JetStream on, nats-server -js?)");
    }
    kvWatchOptions watchOptions;
    kvWatchOptions_Init(&watchOptions);
    check(kvStore_Watch(&c.watcher, c.kv, "ban.>", &watchOptions), "watching the bans");
    auto caughtUp = caughtUp_.get_future();
    watchThread_ = std::thread([this] { watch(); });
    // A node started later keeps the bans from its first login on.
    if (caughtUp.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        handlers_.problem("the stored bans did not all arrive within 5 s");
    }
}

NatsBus::~NatsBus() {
    stopping_ = true;
    if (client_->watcher != nullptr) {
        kvWatcher_Stop(client_->watcher);
    }
    if (watchThread_.joinable()) {
        watchThread_.join();
    }
    client_.reset();
}

void NatsBus::watch() {
    bool caughtUp = false;
    auto catch_up = [&] {
        if (!caughtUp) {
            caughtUp = true;
            caughtUp_.set_value();
        }
    };
    while (!stopping_) {
        kvEntry* entry = nullptr;
        natsStatus status = kvWatcher_Next(&entry, client_->watcher, 500);
        if (status == NATS_TIMEOUT) {
            continue;
        }
        if (status != NATS_OK) {
            if (!stopping_) {
                handlers_.problem(std::string("watching the bans: ") + natsStatus_GetText(status));
            }
            break;
        }
        if (entry == nullptr) {
            catch_up();  // the end of the values stored before the watch began
            continue;
        }
        if (kvEntry_Operation(entry) == kvOp_Put) {
            handlers_.stored(kvEntry_Key(entry),
                             std::string(static_cast<const char*>(kvEntry_Value(entry)),
                                         static_cast<std::size_t>(kvEntry_ValueLen(entry))));
        } else {
            handlers_.stored(kvEntry_Key(entry), std::string());  // deleted or purged
        }
        kvEntry_Destroy(entry);
    }
    catch_up();
}

bool NatsBus::connected() const {
    return natsConnection_Status(client_->connection) == NATS_CONN_STATUS_CONNECTED;
}

bool NatsBus::publish(const std::string& subject, const std::vector<std::uint8_t>& message) {
    return connected() &&
           natsConnection_Publish(client_->connection, subject.c_str(), message.data(),
                                  static_cast<int>(message.size())) == NATS_OK;
}

void NatsBus::listen(std::uint32_t room) {
    natsSubscription*& s = client_->rooms[room];
    if (s != nullptr) {
        return;
    }
    std::string subjects = room_subjects(room);
    natsStatus status =
        natsConnection_Subscribe(&s, client_->connection, subjects.c_str(), on_message, &handlers_);
    if (status != NATS_OK) {
        client_->rooms.erase(room);
        handlers_.problem("subscribing to " + subjects + ": " + natsStatus_GetText(status));
        return;
    }
    natsSubscription_SetPendingLimits(s, 1 << 20, 256 << 20);
}

void NatsBus::stop_listening(std::uint32_t room) {
    auto found = client_->rooms.find(room);
    if (found == client_->rooms.end()) {
        return;
    }
    natsSubscription_Unsubscribe(found->second);
    natsSubscription_Destroy(found->second);
    client_->rooms.erase(found);
}

bool NatsBus::store(const std::string& key, const std::string& value) {
    // A plain publish on the bucket's subject is stored like a put.
    std::string subject = std::string("$KV.") + kBucket + "." + key;
    return connected() && natsConnection_Publish(client_->connection, subject.c_str(), value.data(),
                                                 static_cast<int>(value.size())) == NATS_OK;
}

std::optional<std::string> NatsBus::load(const std::string& key) {
    kvEntry* entry = nullptr;
    natsStatus status = kvStore_Get(&entry, client_->kv, key.c_str());
    if (status == NATS_NOT_FOUND) {
        return std::nullopt;
    }
    check(status, "reading " + key + " from the bucket");
    std::string value(static_cast<const char*>(kvEntry_Value(entry)),
                      static_cast<std::size_t>(kvEntry_ValueLen(entry)));
    kvEntry_Destroy(entry);
    return value;
}

}  // namespace palaver::server::cluster
