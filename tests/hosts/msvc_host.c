/* A host built for Microsoft's ABI (clang --target=x86_64-pc-windows-msvc,
 * lld-link against Palaver.lib) with no C runtime of any kind: it uses the
 * C interface alone. Under Wine it logs in to the palaver-server whose port
 * is in PALAVER_PORT, talks, hears its own line come back and logs out.
 * Exit status 0 when everything held. */
#include <stddef.h>
#include <stdint.h>

#include "palaver_c.h"

/* The few system functions it needs, declared here: no Windows SDK headers. */
typedef void* HANDLE;
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableA(const char* name, char* value,
                                                                      unsigned long size);
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int status);
#define STD_OUTPUT_HANDLE ((unsigned long)-11)

/* The compiler may call these for struct copies and zeroing. */
void* memset(void* to, int value, size_t size) {
    unsigned char* p = (unsigned char*)to;
    while (size--) {
        *p++ = (unsigned char)value;
    }
    return to;
}

void* memcpy(void* to, const void* from, size_t size) {
    unsigned char* p = (unsigned char*)to;
    const unsigned char* q = (const unsigned char*)from;
    while (size--) {
        *p++ = *q++;
    }
    return to;
}

static size_t length(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

static int same(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a, ++b;
    }
    return *a == *b;
}

static void say(const char* text) {
    unsigned long written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (unsigned long)length(text), &written, 0);
}

static int failures = 0;

static void expect(int held, const char* what) {
    say(held ? "ok   " : "FAIL ");
    say(what);
    say("\n");
    failures += held ? 0 : 1;
}

/* Waits (20 s at most) for a line from `sender`; 1 when its text is `text`. */
static int hear(palaver_client* client, int32_t sender, const char* text) {
    palaver_chat_line lines[2];
    unsigned long start = GetTickCount();
    while (GetTickCount() - start < 20000) {
        size_t n = 0;
        if (palaver_wait(client, 500) <= 0 || palaver_get_talk(client, lines, 2, &n) < 0) {
            continue;
        }
        for (size_t i = 0; i < n; ++i) {
            if (lines[i].sender == sender) {
                return same(lines[i].text, text) && lines[i].length == length(text);
            }
        }
    }
    return 0;
}

static int port(void) {
    char digits[16];
    unsigned long n = GetEnvironmentVariableA("PALAVER_PORT", digits, sizeof digits);
    int value = 0;
    for (unsigned long i = 0; i < n && i < sizeof digits; ++i) {
        value = value * 10 + (digits[i] - '0');
    }
    return value;
}

void __stdcall start(void) {
    static const char hello[] = "hello from Microsoft's ABI";
    palaver_client* client = palaver_client_new();
    stUserInfo me = {0};
    memcpy(me.name, "msvc", 5);
    me.locationKey[0] = 9;

    expect(client != 0 && palaver_set_server(client, "127.0.0.1", port()) == 1,
           "server address set");
    expect(palaver_login(client, &me, "") == 1 && me.userId > 0, "logged in");
    expect(palaver_send_talk(client, -1, hello, 0) == 1, "talked");
    expect(hear(client, me.userId, hello), "heard its own line come back");
    expect(palaver_logout(client) == 1 && palaver_is_connected(client) == 0, "logged out");
    expect(palaver_send_talk(client, -1, hello, 0) == 0 &&
               palaver_last_error() == PALAVER_E_NOT_CONNECTED,
           "a send after logout fails with its error code");
    palaver_client_free(client);
    say(failures == 0 ? "all held\n" : "some failed\n");
    ExitProcess(failures == 0 ? 0 : 1);
}
