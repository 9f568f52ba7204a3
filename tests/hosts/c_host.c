/* A host written in plain C99: two clients in one process log in to a
 * palaver-server, one talks, both hear the line through palaver_wait and
 * palaver_get_talk, both log out. It links the library and no C++ runtime.
 * Usage: c_host PORT; exit status 0 when every step worked. */
#include <palaver_c.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Generous on a loaded machine: the line normally arrives in microseconds.
 * The wake-ups are bounded too, should the wait never sleep. */
#define DEADLINE_S 30
#define MAX_WAKE_UPS 10000

static int fail(const char* step) {
    int code = palaver_last_error();
    fprintf(stderr, "c_host: %s failed: %d %s\n", step, code, palaver_error_text(code));
    return 0;
}

static int log_in(palaver_client* client, int port, const char* name, stUserInfo* user) {
    memset(user, 0, sizeof *user);
    strcpy(user->name, name);
    if (palaver_set_server(client, "127.0.0.1", port) != 1)
        return fail("palaver_set_server");
    if (palaver_login(client, user, "") != 1)
        return fail("palaver_login");
    if (user->userId <= 0 || strcmp(user->name, name) != 0) {
        fprintf(stderr, "c_host: login gave id %d name '%s'\n", (int)user->userId, user->name);
        return 0;
    }
    return 1;
}

/* Waits until `client` has received `text` from `sender`, taking whatever
 * else the wait reports (the room's users, arrival notices) so that the next
 * wait sleeps again. */
static int hear(palaver_client* client, int32_t sender, const char* text) {
    time_t deadline = time(NULL) + DEADLINE_S;
    int round;
    for (round = 0; round < MAX_WAKE_UPS && time(NULL) < deadline; ++round) {
        palaver_chat_line lines[8];
        stUserInfo users[4];
        stActionContent actions[4];
        size_t written = 0;
        size_t i;
        int events = palaver_wait(client, 1000);
        if (events < 0)
            return fail("palaver_wait");
        if (events & PALAVER_EVENT_DISCONNECTED) {
            fprintf(stderr, "c_host: the connection ended\n");
            return 0;
        }
        if ((events & PALAVER_EVENT_USERS) && palaver_get_users(client, users, 4, &written) < 0)
            return fail("palaver_get_users");
        if ((events & PALAVER_EVENT_ACTION) &&
            palaver_get_actions(client, actions, 4, &written) < 0)
            return fail("palaver_get_actions");
        if (!(events & PALAVER_EVENT_TALK))
            continue;
        if (palaver_get_talk(client, lines, 8, &written) < 0)
            return fail("palaver_get_talk");
        for (i = 0; i < written; ++i) {
            if (lines[i].sender == sender && strcmp(lines[i].text, text) == 0 &&
                lines[i].length == strlen(text))
                return 1;
        }
    }
    fprintf(stderr, "c_host: '%s' did not arrive\n", text);
    return 0;
}

int main(int argc, char** argv) {
    const char* text = "hello from C";
    palaver_client* alice;
    palaver_client* bob;
    stUserInfo alice_user;
    stUserInfo bob_user;
    stUserInfo self;
    int port;
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: c_host PORT\n");
        return 2;
    }
    port = atoi(argv[1]);
    printf("c_host: library %s\n", palaver_version());

    /* A null handle is refused with an error code, not a crash. */
    if (palaver_send_talk(NULL, -1, text, 0) != 0 || palaver_last_error() != PALAVER_E_INVALID) {
        fprintf(stderr, "c_host: a null client was not refused\n");
        return 1;
    }

    alice = palaver_client_new();
    bob = palaver_client_new();
    if (alice == NULL || bob == NULL) {
        fail("palaver_client_new");
        return 1;
    }

    ok = log_in(alice, port, "alice", &alice_user) && log_in(bob, port, "bob", &bob_user);
    if (ok && palaver_send_talk(alice, -1, text, 0) != 1)
        ok = fail("palaver_send_talk");
    ok = ok && hear(alice, alice_user.userId, text) && hear(bob, alice_user.userId, text);
    if (ok && (palaver_copy_self(bob, &self) != 1 || self.userId != bob_user.userId))
        ok = fail("palaver_copy_self");
    if (palaver_logout(alice) != 1 || palaver_logout(bob) != 1)
        ok = fail("palaver_logout");
    if (palaver_is_connected(alice) || palaver_is_connected(bob)) {
        fprintf(stderr, "c_host: still connected after logout\n");
        ok = 0;
    }
    palaver_client_free(alice);
    palaver_client_free(bob);

    puts(ok ? "c_host: logged in, talked, heard, logged out" : "c_host: FAILED");
    return ok ? 0 : 1;
}
