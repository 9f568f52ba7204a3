// How a node proves itself to the NATS bus: nothing, a user name and password
// read from a file (never from the command line, which every local user can
// read in /proc), a NATS credentials file (a user JWT and its nkey seed) or
// an nkey seed file. The kind is told from the file's contents.
#ifndef PALAVER_SERVER_CLUSTER_BUS_CREDENTIALS_H
#define PALAVER_SERVER_CLUSTER_BUS_CREDENTIALS_H

#include <optional>
#include <string>
#include <vector>

namespace palaver::server::cluster {

struct BusCredentials {
    enum class Kind { None, Password, Creds, NKeySeed };
    Kind kind = Kind::None;
    std::string path;  // the file, handed to the NATS client for Creds and NKeySeed
    std::string user;  // Password: the user name; NKeySeed: the public key
    std::string password;
};

// Reads `path`: a NATS credentials file (it holds "BEGIN NATS USER JWT"), an
// nkey file (the seed "SU..." on the first line, its public key "U..." on the
// second, as `nk -gen user -pubout` writes them), or a user and password file
// (the user name on the first line, the password on the second, each line
// whole, so a password may hold spaces). Nothing and an `error` when the file
// cannot be read or fits none of these.
std::optional<BusCredentials> read_bus_credentials(const std::string& path, std::string& error);

// What an operator should hear at start: a credentials file others may read,
// a password that would cross the network in clear (a nats:// URL to a host
// that is not this machine's loopback), a tls:// bus named by an IP address
// (its certificate's chain is verified, not its name), credentials written
// into the URL itself.
std::vector<std::string> bus_warnings(const std::string& url, const BusCredentials& credentials);

// The host named in a nats:// or tls:// URL (the first, when several are
// given), without a user part or port; brackets of an IPv6 address removed.
std::string bus_host(const std::string& url);
bool is_ip_address(const std::string& host);

}  // namespace palaver::server::cluster

#endif
