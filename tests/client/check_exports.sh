#!/bin/sh
# The shared library exports exactly its interface: the functions of
# chatComunicate, the placeholders and the C interface, nothing else of ours
# (instantiations of the standard library's templates may show up and are not
# ours). It depends on nothing but the C runtime (and the C++ runtime a
# sanitizer's needs): in particular not on libssl, which it loads only when a
# client asks for TLS.
# Usage: check_exports.sh NM LIBRARY MAJOR.MINOR
set -eu
nm=$1
library=$2
version=$3

expected='CPalaver::CPalaver()
CPalaver::CPalaver()
CPalaver::operator=(CPalaver const&)
chatComunicate::ChangeModel(int)
chatComunicate::ChangeName(char*)
chatComunicate::ChangePic(char*)
chatComunicate::DoAnction(int, unsigned char)
chatComunicate::GetActionList(std::vector<stActionContent, std::allocator<stActionContent> >&)
chatComunicate::GetAllUserInRoom()
chatComunicate::GetTalk(std::vector<stChatContent, std::allocator<stChatContent> >&)
chatComunicate::GetUserList(std::set<stUserInfo, std::less<stUserInfo>, std::allocator<stUserInfo> >&)
chatComunicate::GetUserMySelf()
chatComunicate::IsConnected()
chatComunicate::KickPerson(int, int)
chatComunicate::Login(stUserInfo&, char const*)
chatComunicate::Logout()
chatComunicate::SendTalk(int, char const*, bool)
chatComunicate::SetServerIPandPort(char const*, int)
chatComunicate::UseTls(bool, char const*)
chatComunicate::Walk2Pos(double, double, double, float)
fnPalaver()
nPalaver
palaver_change_model
palaver_change_name
palaver_change_picture
palaver_client_free
palaver_client_last_error
palaver_client_last_error_detail
palaver_client_new
palaver_client_new_host_driven
palaver_copy_self
palaver_do_action
palaver_dropped_talk
palaver_error_text
palaver_event_of
palaver_get_actions
palaver_get_talk
palaver_get_users
palaver_is_connected
palaver_is_host_driven
palaver_kick
palaver_last_error
palaver_last_error_detail
palaver_login
palaver_login_with_status
palaver_logout
palaver_next_timeout
palaver_poller_add
palaver_poller_free
palaver_poller_new
palaver_poller_remove
palaver_poller_wait
palaver_poller_wakeup
palaver_process
palaver_reconnect_status
palaver_request_room_list
palaver_self
palaver_send_talk
palaver_send_talks
palaver_set_reconnect
palaver_set_reconnect_delays
palaver_set_send_batching
palaver_set_send_buffer
palaver_set_send_limit
palaver_set_server
palaver_set_talk_limit
palaver_set_tls
palaver_set_tls_ca_file
palaver_set_tls_verify
palaver_socket_of
palaver_version
palaver_wait
palaver_wakeup
palaver_want_write
palaver_walk'

# Every one of ours carries a version node of the export map, and the
# newest node is the header's MAJOR.MINOR: a release that adds functions
# adds its node.
unversioned=$("$nm" -D --defined-only "$library" | awk '{print $3}' |
    grep -E '^(palaver_|_ZN14chatComunicate|_ZN8CPalaver|_Z9fnPalaver|nPalaver)' |
    grep -Ev '@@PALAVER_[0-9]+\.[0-9]+$' || true)
if [ -n "$unversioned" ]; then
    echo "exported without a version node:"
    echo "$unversioned"
    exit 1
fi
# (llvm-nm names a node "PALAVER_1.3@@PALAVER_1.3", GNU nm "PALAVER_1.3".)
newest=$("$nm" -D --defined-only "$library" | awk '$2 == "A" {print $3}' | sed 's/@.*//' |
    grep '^PALAVER_' |
    sort -t. -k2 -n | tail -n1)
if [ "$newest" != "PALAVER_$version" ]; then
    echo "the newest version node is '$newest', the version $version"
    exit 1
fi

# Mangled names of the standard library's namespaces, and the sanitizers'
# own markers, are not ours; neither is the version node itself.
actual=$("$nm" -D --defined-only "$library" | awk '{print $3}' | sed 's/@.*//' |
    grep -Ev '^PALAVER_[0-9]+\.[0-9]+$' |
    grep -Ev '^_Z(TI|TS|TV|TT|GV|Z)?(N|NK)?(St|Sa|Ss|9__gnu_cxx)' |
    grep -Ev '^(_init|_fini|_edata|_end|__bss_start|__odr_asan\..*)$' |
    c++filt | LC_ALL=C sort)
expected=$(printf '%s\n' "$expected" | LC_ALL=C sort)

if [ "$actual" != "$expected" ]; then
    echo "exports differ from the interface (< expected, > exported):"
    printf '%s\n' "$expected" > /tmp/palaver-exports-expected.$$
    printf '%s\n' "$actual" | diff /tmp/palaver-exports-expected.$$ - || true
    rm -f /tmp/palaver-exports-expected.$$
    exit 1
fi

if ldd "$library" | grep -Eq 'lib(ssl|crypto)\.so'; then
    echo "links OpenSSL, which not every system has: load it at run time instead"
    exit 1
fi
unexpected=$(ldd "$library" | awk '{print $1}' |
    grep -Ev '^(linux-vdso\.so|/lib64/ld-linux|libc\.so|libm\.so|libstdc\+\+\.so|libgcc_s\.so|lib(a|ub|t)san\.so)' || true)
if [ -n "$unexpected" ]; then
    echo "unexpected dependencies: $unexpected"
    exit 1
fi
echo "exports and dependencies as expected"
