#include "lib/connection/room_updater.h"

#include <cstring>
#include <mutex>

#include "lib/connection/notices.h"
#include "protocol/client_messages.h"
#include "protocol/records.h"
#include "protocol/server_messages.h"

namespace palaver {
void RoomUpdater::apply(const Frame& frame) {
    switch (static_cast<ServerType>(frame.type)) {
        case ServerType::Talk:
            talk(frame);
            return;
        case ServerType::UserEntered:
            flush();
            user_entered(frame);
            room_.events.mark_users_changed();
            return;
        case ServerType::UsersLeft:
            flush();
            users_left(frame);
            room_.events.mark_users_changed();
            return;
        case ServerType::UsersUpdated:
            flush();
            users_updated(frame);
            room_.events.mark_users_changed();
            return;
        case ServerType::RoomList:
            flush();
            room_list(frame);
            room_.events.mark_users_changed();
            return;
    }
    // Every other type is skipped by its length.
}

void RoomUpdater::announce(stChatContent notice) {
    // Marked before the notice shows: a host woken by the notice finds the
    // user set's change with it, never the line alone.
    room_.events.mark_users_changed();
    std::lock_guard<std::mutex> queue(room_.queueLock);
    room_.talk.push_back(std::move(notice));
}

void RoomUpdater::hold_queue() {
    if (!queueHold_.owns_lock()) {
        queueHold_ = std::unique_lock<std::mutex>(room_.queueLock);
    }
}

void RoomUpdater::flush() {
    if (queueHold_.owns_lock()) {
        queueHold_.unlock();
    }
}

void RoomUpdater::user_entered(const Frame& frame) {
    auto record = decode_user_entered(frame);
    if (!record) {
        return;
    }
    {
        std::lock_guard<std::mutex> users(room_.userLock);
        if (record->userId != room_.self.userId) {
            room_.users.insert(*record);
        }
    }
    announce(make_notice(arrival_text(*record)));
}

void RoomUpdater::users_left(const Frame& frame) {
    IdList ids(frame);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        stUserInfo probe{};
        probe.userId = ids[i];
        std::lock_guard<std::mutex> users(room_.userLock);
        auto found = room_.users.find(probe);
        if (found == room_.users.end()) {
            continue;
        }
        stChatContent notice = make_notice(departure_text(*found));
        room_.users.erase(found);
        announce(std::move(notice));
    }
}

void RoomUpdater::talk(const Frame& frame) {
    auto line = decode_talk(frame);
    if (!line) {
        return;
    }
    bool isAction = line->textLength >= kActionMarkerSize &&
                    std::memcmp(line->text, kActionMarker, kActionMarkerSize) == 0;
    hold_queue();
    if (!isAction) {
        room_.talk.add(line->sender, line->target, line->key.data(), line->flag == 1, line->text,
                       line->textLength);
        return;
    }
    stActionContent action;
    action.sender = line->sender;
    action.target = line->target;
    action.action = line->textLength > kActionMarkerSize
                        ? static_cast<unsigned char>(line->text[kActionMarkerSize])
                        : 0;
    for (auto& entry : room_.actions) {
        if (entry.sender == action.sender && entry.target == action.target) {
            entry.action = action.action;
            return;
        }
    }
    room_.actions.push_back(action);
}

void RoomUpdater::rename_self(const stUserInfo& record) {
    // Keep a NUL within the name field at every moment, so that a host reading
    // through GetUserMySelf never runs into the location key: the new name's
    // terminator goes in before its characters.
    std::size_t length = name_length(record);
    if (length > sizeof record.name - 1) {
        length = sizeof record.name - 1;
    }
    std::lock_guard<std::mutex> hold(room_.selfNameLock);
    room_.self.name[length] = '\0';
    std::memcpy(room_.self.name, record.name, length);
}

void RoomUpdater::users_updated(const Frame& frame) {
    RecordList records(frame);
    for (std::size_t i = 0; i < records.size(); ++i) {
        stUserInfo record = records[i];
        if (record.userId == room_.self.userId) {
            rename_self(record);
            continue;
        }
        std::lock_guard<std::mutex> users(room_.userLock);
        auto found = room_.users.find(record);
        if (found == room_.users.end()) {
            continue;
        }
        std::size_t oldLength = name_length(*found);
        const bool renamed = oldLength != name_length(record) ||
                             std::memcmp(found->name, record.name, oldLength) != 0;
        stChatContent notice = renamed ? make_notice(rename_text(*found, record)) : stChatContent{};
        // The id, and so the set's order, is unchanged by the overwrite.
        std::memcpy(const_cast<stUserInfo*>(&*found), &record, kUserInfoSize);
        if (renamed) {
            announce(std::move(notice));
        }
    }
}

void RoomUpdater::room_list(const Frame& frame) {
    {
        std::lock_guard<std::mutex> users(room_.userLock);
        room_.users.clear();
    }
    RecordList records(frame);
    for (std::size_t i = 0; i < records.size(); ++i) {
        stUserInfo record = records[i];
        std::lock_guard<std::mutex> users(room_.userLock);
        if (record.userId != room_.self.userId) {
            room_.users.insert(record);
        }
    }
}

}  // namespace palaver
