#include "lib/connection/connection.h"

#include "lib/connection/tls_stream.h"

namespace palaver {

// Here, where TlsStream is complete, for the unique_ptr that owns it.
Connection::Connection() = default;
Connection::~Connection() = default;

}  // namespace palaver
