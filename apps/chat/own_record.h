// A copy of the library's own user record.
#ifndef PALAVER_CHAT_OWN_RECORD_H
#define PALAVER_CHAT_OWN_RECORD_H

#include "Palaver.h"

namespace palaver::chat {

// GetUserMySelf points at the live record, whose name the library's receive
// thread rewrites when a rename lands, with no lock a host can take. The
// library keeps a NUL inside the name field at every moment, so a copy may
// mix the old and new name but never runs past the field.
stUserInfo copy_own_record();

}  // namespace palaver::chat

#endif
