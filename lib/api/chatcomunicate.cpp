// The chatComunicate functions: each hands the module's default client
// to the routine that does the work.
#include "Palaver.h"
#include "lib/api/default_client.h"
#include "lib/client/commands.h"
#include "lib/client/queries.h"
#include "lib/connection/lifecycle.h"

namespace chatComunicate {

using palaver::default_client;

int SetServerIPandPort(const char* address, int port) {
    return palaver::set_server_address(default_client(), address, port);
}

int Login(stUserInfo& user, const char* loginString) {
    return palaver::login(default_client(), user, loginString);
}

void Logout() {
    palaver::logout(default_client());
}

bool IsConnected() {
    return default_client().connection.connected.load();
}

bool UseTls(bool enable, const char* caFile) {
    return palaver::use_tls(default_client(), enable, caFile);
}

bool SendTalk(int target, const char* text, bool whisper) {
    return palaver::send_talk(default_client(), target, text, whisper);
}

bool DoAnction(int target, unsigned char action) {
    return palaver::do_action(default_client(), target, action);
}

bool Walk2Pos(double x, double y, double z, float fourth) {
    return palaver::walk_to(default_client(), x, y, z, fourth);
}

bool ChangeName(char* name) {
    return palaver::change_name(default_client(), name);
}

bool ChangeModel(int model) {
    return palaver::change_model(default_client(), model);
}

bool ChangePic(char* picture) {
    return palaver::change_picture(default_client(), picture);
}

bool KickPerson(int userId, int banMinutes) {
    return palaver::kick_person(default_client(), userId, banMinutes);
}

bool GetAllUserInRoom() {
    return palaver::request_room_list(default_client());
}

void GetUserList(std::set<stUserInfo>& users) {
    palaver::copy_users(default_client().room, users);
}

void GetTalk(std::vector<stChatContent>& lines) {
    palaver::drain_talk(default_client().room, lines);
}

void GetActionList(std::vector<stActionContent>& actions) {
    palaver::drain_actions(default_client().room, actions);
}

stUserInfo* GetUserMySelf() {
    return &default_client().room.self;
}

}  // namespace chatComunicate
