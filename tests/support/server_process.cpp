#include "server_process.h"

#include <algorithm>

#include "proc_stats.h"

namespace palaver::test {
namespace {

std::vector<std::string> command(const std::string& binary, const std::vector<std::string>& extra,
                                 const std::string& listen) {
    std::vector<std::string> args{binary, "--listen", listen};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& extra,
                             const std::string& listen)
    : ChildProcess(command(binary, extra, listen)) {
    // "palaver-server listening on 127.0.0.1:PORT", then the TLS listener's line.
    if (listen != "none") {
        port_ = port_after("palaver-server listening on ");
    }
    if (std::find(extra.begin(), extra.end(), "--tls-listen") != extra.end()) {
        tlsPort_ = port_after("palaver-server listening for TLS on ");
    }
}

std::size_t ServerProcess::open_descriptors() const {
    return open_descriptors_of(pid());
}

std::size_t ServerProcess::threads() const {
    return threads_of(pid());
}

CtlResult run_ctl(const std::string& binary, const std::string& path,
                  const std::vector<std::string>& args) {
    std::vector<std::string> argv{binary, "ctl", "--control", path};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess ctl(argv, ChildProcess::Log::OutputAndErrors);
    CtlResult result;
    result.status = ctl.wait_exit();
    result.output = ctl.transcript();
    return result;
}

}  // namespace palaver::test
