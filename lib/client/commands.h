// The host's requests: each checks its arguments, builds one whole message
// from the own record as it is now, and sends it on the open connection.
#ifndef PALAVER_LIB_CLIENT_COMMANDS_H
#define PALAVER_LIB_CLIENT_COMMANDS_H

#include <cstddef>

#include "lib/client/client_state.h"

namespace palaver {

bool send_talk(ClientState& state, int target, const char* text, bool whisper);
// Every text checked first: one that is null or too long refuses the batch,
// and nothing is sent. The lines then go out in order, many to a write.
bool send_talks(ClientState& state, int target, const char* const* texts, std::size_t count,
                bool whisper);
bool do_action(ClientState& state, int target, unsigned char action);
bool walk_to(ClientState& state, double x, double y, double z, float fourth);
bool change_name(ClientState& state, const char* name);
bool change_model(ClientState& state, int model);
bool change_picture(ClientState& state, const char* picture);
bool kick_person(ClientState& state, int first, int second);
bool request_room_list(ClientState& state);

}  // namespace palaver

#endif
