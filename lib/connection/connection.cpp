#include "lib/connection/connection.h"

#include "lib/connection/host_driven.h"
#include "lib/connection/tls_stream.h"

namespace palaver {

// Here, where TlsStream and DrivenState are complete, for the unique_ptr that owns it.
Connection::Connection() = default;
Connection::~Connection() = default;

}  // namespace palaver
