// The exported interface: each function hands the module's one client state
// to the routine that does the work.
#include "Palaver.h"
#include "client/commands.h"
#include "client/queries.h"
#include "connection/session.h"
#include "module/client_state.h"

namespace chatComunicate {

using palaver::client_state;

int SetServerIPandPort(const char* address, int port) {
    return palaver::set_server_address(client_state(), address, port);
}

int Login(stUserInfo& user, const char* loginString) {
    return palaver::login(client_state(), user, loginString);
}

void Logout() {
    palaver::logout(client_state());
}

bool IsConnected() {
    return client_state().connection.connected.load();
}

bool SendTalk(int target, const char* text, bool whisper) {
    return palaver::send_talk(client_state(), target, text, whisper);
}

bool DoAnction(int target, unsigned char action) {
    return palaver::do_action(client_state(), target, action);
}

bool Walk2Pos(double x, double y, double z, float fourth) {
    return palaver::walk_to(client_state(), x, y, z, fourth);
}

bool ChangeName(char* name) {
    return palaver::change_name(client_state(), name);
}

bool ChangeModel(int model) {
    return palaver::change_model(client_state(), model);
}

bool ChangePic(char* picture) {
    return palaver::change_picture(client_state(), picture);
}

bool KickPerson(int userId, int banMinutes) {
    return palaver::kick_person(client_state(), userId, banMinutes);
}

bool GetAllUserInRoom() {
    return palaver::request_room_list(client_state());
}

void GetUserList(std::set<stUserInfo>& users) {
    palaver::copy_users(client_state().room, users);
}

void GetTalk(std::vector<stChatContent>& lines) {
    palaver::drain_talk(client_state().room, lines);
}

void GetActionList(std::vector<stActionContent>& actions) {
    palaver::drain_actions(client_state().room, actions);
}

stUserInfo* GetUserMySelf() {
    return &client_state().room.self;
}

}  // namespace chatComunicate
