#include "lib/connection/receiver.h"

#include "lib/connection/tls_stream.h"

namespace palaver {

Receiver::Read Receiver::read_once(Connection& c, platform::SocketHandle s, TlsStream* tls,
                                   std::size_t* bytes, bool* filled) {
    const std::size_t room = reader_.write_room();
    long n = tls != nullptr ? tls->receive(c, s, reader_.write_position(), room)
                            : platform::receive_some(s, reader_.write_position(), room);
    if (bytes != nullptr) {
        *bytes = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (filled != nullptr) {
        *filled = n > 0 && static_cast<std::size_t>(n) == room;
    }
    if (n < 0) {
        const int code = platform::last_error();
        return platform::is_timeout(code) || platform::is_would_block(code) ? Read::Idle
                                                                            : Read::Ended;
    }
    if (n == 0) {
        return Read::Ended;
    }
    reader_.commit(static_cast<std::size_t>(n));
    Frame frame;
    FrameReader::Status status;
    while ((status = reader_.next(frame)) == FrameReader::Status::Frame) {
        updater_.apply(frame);
    }
    updater_.flush();
    return status == FrameReader::Status::Broken ? Read::Ended : Read::Some;
}

}  // namespace palaver
