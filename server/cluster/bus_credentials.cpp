#include "server/cluster/bus_credentials.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace palaver::server::cluster {
namespace {

// A credentials file is a few hundred bytes; a bigger one is not one.
constexpr std::streamsize kMaxFileSize = 64 * 1024;

std::string strip_line_end(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    return line;
}

// An nkey as NATS writes it: base32 of a fixed length behind its kind's
// prefix, so that a user named "SUsan" is not taken for a seed.
bool is_nkey(const std::string& text, const std::string& prefix, std::size_t length) {
    return text.size() == length && text.rfind(prefix, 0) == 0 &&
           text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567") == std::string::npos;
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

std::optional<BusCredentials> read_bus_credentials(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(kMaxFileSize) + 1, '\0');
    in.read(text.data(), kMaxFileSize + 1);
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > static_cast<std::size_t>(kMaxFileSize)) {
        error = path + " is too large for a credentials file";
        return std::nullopt;
    }
    BusCredentials c;
    c.path = path;
    if (text.find("-----BEGIN NATS USER JWT-----") != std::string::npos) {
        c.kind = BusCredentials::Kind::Creds;
        return c;
    }
    std::istringstream lines(text);
    std::string first;
    std::string second;
    std::getline(lines, first);
    std::getline(lines, second);
    first = strip_line_end(first);
    second = strip_line_end(second);
    // The NATS client signs with the seed but must be told the public key.
    if (is_nkey(first, "SU", 58) && is_nkey(second, "U", 56)) {
        c.kind = BusCredentials::Kind::NKeySeed;
        c.user = second;
        return c;
    }
    if (first.empty() || second.empty() || first.find_first_of(" \t") != std::string::npos) {
        error = path +
                ": expected a NATS credentials file, an nkey seed, or a user name on the "
                "first line and its password on the second";
        return std::nullopt;
    }
    c.kind = BusCredentials::Kind::Password;
    c.user = first;
    c.password = second;
    return c;
}

std::string bus_host(const std::string& url) {
    std::string rest = url.substr(0, url.find(','));
    if (auto scheme = rest.find("://"); scheme != std::string::npos) {
        rest = rest.substr(scheme + 3);
    }
    if (auto at = rest.rfind('@'); at != std::string::npos) {
        rest = rest.substr(at + 1);
    }
    if (!rest.empty() && rest.front() == '[') {
        return rest.substr(1, rest.find(']') - 1);
    }
    return rest.substr(0, rest.find(':'));
}

bool is_ip_address(const std::string& host) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

std::vector<std::string> bus_warnings(const std::string& url, const BusCredentials& credentials) {
    std::vector<std::string> warnings;
    if (url.rfind("tls://", 0) == 0 && is_ip_address(bus_host(url))) {
        warnings.push_back("the bus is named by its address " + bus_host(url) +
                           ": its certificate's chain is verified, not its name; name it as "
                           "its certificate does");
    }
    if (url.find('@') != std::string::npos) {
        warnings.push_back(
            "the bus URL holds credentials, which every user of this machine can "
            "read in /proc: use --cluster-credentials");
    }
    if (credentials.kind == BusCredentials::Kind::None) {
        return warnings;
    }
    struct stat info {};
    if (::stat(credentials.path.c_str(), &info) == 0 &&
        (info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
        warnings.push_back(credentials.path +
                           " (the bus credentials) may be read by other users of this machine: "
                           "chmod go-rw it");
    }
    if (credentials.kind == BusCredentials::Kind::Password && url.rfind("tls://", 0) != 0 &&
        !is_loopback(bus_host(url))) {
        warnings.push_back("the bus password crosses the network in clear to " + bus_host(url) +
                           ": use a tls:// URL");
    }
    return warnings;
}

}  // namespace palaver::server::cluster
