// What the module holds for the whole process: the socket layer's start-up
// and the default client, the one that the chatComunicate functions drive.
// Constructed when the module loads and destroyed when it unloads.
#ifndef PALAVER_LIB_API_DEFAULT_CLIENT_H
#define PALAVER_LIB_API_DEFAULT_CLIENT_H

#include "lib/api/winsock_startup.h"
#include "lib/client/client_state.h"

namespace palaver {

// The chatComunicate functions' client: the same object, and so the same
// own-record address, for the life of the module.
ClientState& default_client();
// The socket layer, started before any client exists and stopped after all.
const CWinsockStartup& network();

}  // namespace palaver

#endif
