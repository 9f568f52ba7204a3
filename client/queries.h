// The host's polling: copies of the user set, drains of the talk queue and
// the action list. None touches the network, none throws.
#ifndef PALAVER_CLIENT_QUERIES_H
#define PALAVER_CLIENT_QUERIES_H

#include <set>
#include <vector>

#include "Palaver.h"
#include "module/room_state.h"

namespace palaver {

void copy_users(RoomState& room, std::set<stUserInfo>& out);
void drain_talk(RoomState& room, std::vector<stChatContent>& out);
void drain_actions(RoomState& room, std::vector<stActionContent>& out);

}  // namespace palaver

#endif
