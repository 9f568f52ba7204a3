// Why the calling thread's last call failed, as a PALAVER_E_* code of the C
// interface: the code that fails sets it where it knows the reason, and the C
// interface hands it to the host. Thread-local, like errno, so that it needs
// no client (a null one included) and no lock.
#ifndef PALAVER_LIB_CLIENT_ERROR_H
#define PALAVER_LIB_CLIENT_ERROR_H

#include "palaver_c.h"

namespace palaver {

// PALAVER_OK, which every call sets first, also clears the detail.
void set_error(int code);
int last_error_code();
// What the failing layer itself said (the TLS library's reason), cut to fit;
// empty when it said nothing.
void set_error_detail(const char* text);
const char* last_error_detail();

}  // namespace palaver

#endif
