#include "nats_process.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace palaver::test {

NatsProcess::NatsProcess(const std::string& binary, const std::string& configuration)
    : binary_(binary) {
    std::string folder = (std::filesystem::temp_directory_path() / "palaver-nats-XXXXXX").string();
    if (binary_.empty() || ::mkdtemp(folder.data()) == nullptr) {
        return;
    }
    store_ = folder;
    if (!configuration.empty()) {
        configFile_ = store_ + "/nats.conf";
        std::ofstream(configFile_) << configuration;
    }
    start();
}

NatsProcess::~NatsProcess() {
    kill();
    if (!store_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(store_, ignored);
    }
}

std::string NatsProcess::url() const {
    return process_ ? "nats://127.0.0.1:" + std::to_string(port_) : std::string();
}

void NatsProcess::kill() {
    if (process_) {
        process_->signal(SIGKILL);
        process_.reset();
    }
}

bool NatsProcess::start() {
    // The first start takes a port the kernel chooses (-1); a restart the same.
    const std::string port = port_ == 0 ? "-1" : std::to_string(port_);
    std::vector<std::string> command{binary_, "-a", "127.0.0.1", "-p", port, "-js", "-sd", store_};
    if (!configFile_.empty()) {
        command.insert(command.end(), {"-c", configFile_});
    }
    process_ = std::make_unique<ChildProcess>(command, ChildProcess::Log::OutputAndErrors);
    const std::uint16_t listening = process_->port_after("Listening for client connections on ");
    if (listening == 0) {
        process_.reset();
        return false;
    }
    port_ = listening;
    return true;
}

}  // namespace palaver::test
