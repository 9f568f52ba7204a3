// A client's choice of TLS for its next Login: set by the host on one
// thread, read by Login on another.
#ifndef PALAVER_LIB_CLIENT_TLS_SETTING_H
#define PALAVER_LIB_CLIENT_TLS_SETTING_H

#include <mutex>
#include <string>

namespace palaver {

struct TlsChoice {
    bool enabled = false;
    // Off only when the host says so explicitly (tests, a lab).
    bool verify = true;
    std::string caFile;  // empty: the system's trust store
};

class TlsSetting {
  public:
    template <typename Change>
    void change(Change&& change) {
        std::lock_guard<std::mutex> hold(lock_);
        change(choice_);
    }
    TlsChoice load() const {
        std::lock_guard<std::mutex> hold(lock_);
        return choice_;
    }

  private:
    mutable std::mutex lock_;
    TlsChoice choice_;
};

}  // namespace palaver

#endif
