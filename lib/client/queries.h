// The host's polling: copies of the user set, drains of the talk queue and
// the action list. None touches the network, none throws.
#ifndef PALAVER_LIB_CLIENT_QUERIES_H
#define PALAVER_LIB_CLIENT_QUERIES_H

#include <set>
#include <vector>

#include "Palaver.h"
#include "lib/client/room_state.h"
#include "palaver_c.h"

namespace palaver {

void copy_users(RoomState& room, std::set<stUserInfo>& out);
void drain_talk(RoomState& room, std::vector<stChatContent>& out);
void drain_actions(RoomState& room, std::vector<stActionContent>& out);

// Into the caller's arrays of `capacity` elements: each sets `written` and
// returns how many more wait. The user set is copied in id order; a copy of
// all of it takes the mark of a changed set. Lines and actions leave the
// stores.
std::size_t copy_users(RoomState& room, stUserInfo* out, std::size_t capacity,
                       std::size_t& written);
std::size_t take_talk(RoomState& room, palaver_chat_line* out, std::size_t capacity,
                      std::size_t& written);
std::size_t take_actions(RoomState& room, stActionContent* out, std::size_t capacity,
                         std::size_t& written);
// What a host waiting on the room would find now: PALAVER_EVENT_* bits.
int pending_events(RoomState& room);

}  // namespace palaver

#endif
