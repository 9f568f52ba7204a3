// Starts the socket layer for as long as the module is loaded: Winsock with
// the requested version on Windows, nothing on POSIX.
#ifndef PALAVER_LIB_API_WINSOCK_STARTUP_H
#define PALAVER_LIB_API_WINSOCK_STARTUP_H

namespace palaver {

class CWinsockStartup {
  public:
    CWinsockStartup(unsigned char major, unsigned char minor);
    ~CWinsockStartup();
    CWinsockStartup(const CWinsockStartup&) = delete;
    CWinsockStartup& operator=(const CWinsockStartup&) = delete;

    bool started() const { return started_; }

  private:
    bool started_;
};

}  // namespace palaver

#endif
