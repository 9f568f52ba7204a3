#include "lib/client/client_watch.h"

#include "lib/client/queries.h"
#include "palaver_c.h"

namespace palaver {

platform::EventSignal* ClientWatch::signal() {
    std::lock_guard<std::mutex> hold(lock_);
    if (signal_ == nullptr) {
        signal_ = platform::EventSignal::make();
        if (signal_ == nullptr) {
            return nullptr;
        }
        room_.events.watch(this);
        update_signal();
    }
    return signal_.get();
}

void ClientWatch::update_signal() {
    const int events =
        room_.events.peek([this] { return pending_events(room_); }, PALAVER_EVENT_WAKEUP);
    if (events != 0) {
        signal_->raise();
    } else {
        signal_->lower();
    }
}

void ClientWatch::changed() {
    std::lock_guard<std::mutex> hold(lock_);
    if (signal_ != nullptr) {
        update_signal();
    }
    if (listener_ != nullptr) {
        listener_->member_changed(member_);
    }
}

bool ClientWatch::join(Listener* listener, void* member) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (listener_ != nullptr) {
            return listener_ == listener;
        }
        listener_ = listener;
        member_ = member;
        room_.events.watch(this);
    }
    changed();  // the poller looks at what is there already
    return true;
}

bool ClientWatch::leave(Listener* listener, void** member) {
    std::lock_guard<std::mutex> hold(lock_);
    if (listener_ != listener) {
        return false;
    }
    if (member != nullptr) {
        *member = member_;
    }
    listener_ = nullptr;
    member_ = nullptr;
    return true;
}

ClientWatch::Listener* ClientWatch::listener() {
    std::lock_guard<std::mutex> hold(lock_);
    return listener_;
}

}  // namespace palaver
