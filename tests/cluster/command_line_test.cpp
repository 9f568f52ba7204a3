// The cluster options of palaver-server's command line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "server/command_line.h"

namespace palaver::server {
namespace {

std::optional<CommandLine> parse(std::vector<const char*> args) {
    args.insert(args.begin(), "palaver-server");
    int exitCode = 0;
    return parse_command_line(static_cast<int>(args.size()), const_cast<char**>(args.data()),
                              exitCode);
}

TEST(ClusterCommandLine, NeedsTheBusAndANodeIdTogetherAndSaneTiming) {
    auto c = parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "7", "--reuse-port",
                    "--cluster-heartbeat-ms", "100", "--cluster-timeout-ms", "900"});
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->settings.cluster);
    EXPECT_EQ(c->settings.cluster->url, "nats://127.0.0.1:4222");
    EXPECT_EQ(c->settings.cluster->node, 7);
    EXPECT_EQ(c->settings.cluster->timeout, std::chrono::milliseconds(900));
    EXPECT_TRUE(c->settings.reusePort);

    auto alone = parse({});
    ASSERT_TRUE(alone);
    EXPECT_FALSE(alone->settings.cluster) << "without --cluster a server is a cluster of one";
    EXPECT_FALSE(alone->settings.reusePort);

    EXPECT_FALSE(parse({"--cluster", "nats://127.0.0.1:4222"}));
    EXPECT_FALSE(parse({"--node-id", "3"}));
    EXPECT_FALSE(parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "128"}));
    EXPECT_FALSE(parse({"--cluster", "127.0.0.1:4222", "--node-id", "1"}));
    EXPECT_FALSE(parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "1",
                        "--cluster-heartbeat-ms", "500", "--cluster-timeout-ms", "500"}));

    auto some = parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "2", "--cluster-nodes",
                       "1,2,5", "--cluster-max-node-users", "10"});
    ASSERT_TRUE(some);
    EXPECT_EQ(some->settings.cluster->nodes, (std::vector<std::uint16_t>{1, 2, 5}));
    EXPECT_EQ(some->settings.cluster->maxNodeUsers, 10u);
    EXPECT_FALSE(
        parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "3", "--cluster-nodes", "1,2"}))
        << "this node must be one of the cluster's";
    EXPECT_FALSE(parse(
        {"--cluster", "nats://127.0.0.1:4222", "--node-id", "1", "--cluster-nodes", "1,200"}));
}

TEST(ClusterCommandLine, TakesBusCredentialsFromAFileAndWarnsWhereTheyAreExposed) {
    const std::string file = ::testing::TempDir() + "palaver-bus-credentials";
    std::ofstream(file) << "SUsan\nUlrich's pass word\n";  // not an nkey
    ::chmod(file.c_str(), 0600);
    auto remote = parse({"--cluster", "nats://10.0.0.1:4222", "--node-id", "1",
                         "--cluster-credentials", file.c_str()});
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->settings.cluster->credentialsFile, file);
    ASSERT_EQ(remote->warnings.size(), 1u) << "a password in clear off this machine";
    EXPECT_NE(remote->warnings[0].find("in clear"), std::string::npos);
    auto local = parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "1",
                        "--cluster-credentials", file.c_str()});
    ASSERT_TRUE(local);
    EXPECT_TRUE(local->warnings.empty());
    ::chmod(file.c_str(), 0644);
    auto tls = parse({"--cluster", "tls://bus.example:4222", "--node-id", "1",
                      "--cluster-credentials", file.c_str(), "--cluster-ca", file.c_str()});
    ASSERT_TRUE(tls);
    ASSERT_EQ(tls->warnings.size(), 1u);
    EXPECT_NE(tls->warnings[0].find("chmod go-rw"), std::string::npos);

    EXPECT_FALSE(parse(
        {"--cluster", "nats://127.0.0.1:4222", "--node-id", "1", "--cluster-ca", file.c_str()}))
        << "a CA means nothing without TLS";
    std::ofstream(file) << "just-a-user\n";
    EXPECT_FALSE(parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "1",
                        "--cluster-credentials", file.c_str()}));
    std::remove(file.c_str());
    EXPECT_FALSE(parse({"--cluster", "nats://127.0.0.1:4222", "--node-id", "1",
                        "--cluster-credentials", file.c_str()}));
}

}  // namespace
}  // namespace palaver::server
