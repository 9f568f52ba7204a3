// A bare TCP client of palaver-server, without the library: it logs in, sends
// what it is told and can vanish in the rudest ways.
#ifndef PALAVER_TESTS_FAULTS_RAW_CLIENT_H
#define PALAVER_TESTS_FAULTS_RAW_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palaver::faults {

class RawClient {
  public:
    explicit RawClient(std::uint16_t port);  // connected, or fd() < 0
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    int fd() const { return fd_; }
    // Logs in under `name` into `room`; the id the server gave, or 0.
    std::int32_t log_in(const char* name, std::uint32_t room);
    bool send(const std::vector<std::uint8_t>& bytes);
    // Reads and drops what has arrived, without waiting; false once closed.
    bool drain();
    void reset();  // vanish with a reset
    void close();  // vanish with a FIN

  private:
    int fd_ = -1;
};

}  // namespace palaver::faults

#endif
