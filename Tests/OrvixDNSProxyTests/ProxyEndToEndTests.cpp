#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "DNSCryptConfiguration.hpp"
#include "DNSProxy.hpp"
#include "TestResolver.hpp"
#include "TestSupport.hpp"
#include "orvix_dns.h"

namespace orvix::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes makeQuery(const std::string &name, std::uint16_t type, std::uint16_t id = 0x1234) {
    Bytes query = {static_cast<std::uint8_t>(id >> 8),
                   static_cast<std::uint8_t>(id),
                   0x01,
                   0x00,
                   0x00,
                   0x01,
                   0x00,
                   0x00,
                   0x00,
                   0x00,
                   0x00,
                   0x00};
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string::npos) end = name.size();
        query.push_back(static_cast<std::uint8_t>(end - start));
        query.insert(query.end(), name.begin() + start, name.begin() + end);
        start = end + 1;
    }
    query.push_back(0);
    query.push_back(static_cast<std::uint8_t>(type >> 8));
    query.push_back(static_cast<std::uint8_t>(type));
    query.push_back(0x00);
    query.push_back(0x01);
    return query;
}

// The same query with an EDNS record offering `size` bytes over UDP.
Bytes withEDNS(Bytes query, std::uint16_t size) {
    query[11] = 1;
    const Bytes opt = {0x00,
                       0x00,
                       0x29,
                       static_cast<std::uint8_t>(size >> 8),
                       static_cast<std::uint8_t>(size),
                       0,
                       0,
                       0,
                       0,
                       0x00,
                       0x00};
    query.insert(query.end(), opt.begin(), opt.end());
    return query;
}

sockaddr_in6 proxyAddress() {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(53);
    address.sin6_addr = in6addr_loopback;
    return address;
}

std::optional<Bytes> askUDP(const Bytes &query, int timeoutMilliseconds = 4000) {
    const int descriptor = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto address = proxyAddress();
    if (connect(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        send(descriptor, query.data(), query.size(), 0) != static_cast<ssize_t>(query.size())) {
        close(descriptor);
        return std::nullopt;
    }
    pollfd entry{descriptor, POLLIN, 0};
    std::optional<Bytes> reply;
    if (poll(&entry, 1, timeoutMilliseconds) == 1) {
        Bytes buffer(65536);
        const ssize_t received = recv(descriptor, buffer.data(), buffer.size(), 0);
        if (received >= 0) reply = Bytes(buffer.begin(), buffer.begin() + received);
    }
    close(descriptor);
    return reply;
}

int connectTCP(int timeoutSeconds = 4) {
    const int descriptor = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = proxyAddress();
    if (connect(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(descriptor);
        return -1;
    }
    timeval timeout{timeoutSeconds, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return descriptor;
}

std::optional<Bytes> askTCP(const Bytes &query, int timeoutSeconds = 4) {
    const int descriptor = connectTCP(timeoutSeconds);
    if (descriptor < 0) return std::nullopt;
    Bytes framed = {static_cast<std::uint8_t>(query.size() >> 8),
                    static_cast<std::uint8_t>(query.size())};
    framed.insert(framed.end(), query.begin(), query.end());
    send(descriptor, framed.data(), framed.size(), MSG_NOSIGNAL);
    Bytes input;
    Bytes buffer(65536);
    std::optional<Bytes> reply;
    while (true) {
        const ssize_t received = recv(descriptor, buffer.data(), buffer.size(), 0);
        if (received <= 0) break;
        input.insert(input.end(), buffer.begin(), buffer.begin() + received);
        if (input.size() >= 2 && input.size() >= 2u + ((input[0] << 8) | input[1])) {
            reply = Bytes(input.begin() + 2, input.begin() + 2 + ((input[0] << 8) | input[1]));
            break;
        }
    }
    close(descriptor);
    return reply;
}

int code(const Bytes &reply) {
    return reply[3] & 0x0f;
}
int answers(const Bytes &reply) {
    return (reply[6] << 8) | reply[7];
}
bool truncated(const Bytes &reply) {
    return reply[2] & 0x02;
}
Bytes lastFour(const Bytes &reply) {
    return Bytes(reply.end() - 4, reply.end());
}

std::string procStatusLine(pid_t pid, const std::string &key) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const auto start = status.find(key + ":");
    if (start == std::string::npos) return {};
    return status.substr(start, status.find('\n', start) - start);
}

// Every test gets a network namespace of its own with only `lo` up: the proxy listens on the
// real address "[::1]:53" there, and the test resolver on 127.0.0.1.
class ProxyEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a private network namespace and user switch need root";
        if (unshare(CLONE_NEWNET) != 0) {
            if (errno == EPERM) GTEST_SKIP() << "network namespaces are not permitted here";
            FAIL() << "unshare: " << std::strerror(errno);
        }
        ASSERT_TRUE(orvix::testing::bringUpLoopback()) << std::strerror(errno);
    }

    void TearDown() override {
        for (pid_t pid : proxies_) stop(pid);
    }

    // The configuration the website service writes, with the provider's stamp swapped for the
    // test resolver's.
    std::filesystem::path writeConfiguration(const TestResolver &resolver,
                                             const std::vector<std::string> &blocked = {},
                                             bool cache = true) {
        std::string text =
            DNSCryptConfiguration::text(directory_.path().string(), WebsiteContentFilter::family);
        const std::string familyStamp = DNSCryptConfiguration::familyStamp;
        text.replace(text.find(familyStamp), familyStamp.size(), resolver.stamp());
        if (!cache) text.replace(text.find("cache = true"), 12, "cache = false");
        writeFile(directory_.path() / "dnscrypt.toml", text);
        writeFile(directory_.path() / "blocked-names.txt",
                  DNSCryptConfiguration::blockedNames(blocked));
        return directory_.path() / "dnscrypt.toml";
    }

    // Starts the proxy and waits until it accepts connections on [::1]:53.
    pid_t startProxy(const std::filesystem::path &configuration) {
        const pid_t pid = spawn({ORVIX_DNS_PROXY_EXECUTABLE, "-config", configuration.string()},
                                std::nullopt, directory_.path() / "proxy.log");
        proxies_.push_back(pid);
        for (int attempt = 0; attempt < 300; ++attempt) {
            const int descriptor = connectTCP();
            if (descriptor >= 0) {
                close(descriptor);
                return pid;
            }
            if (!isRunning(pid)) break;
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "the proxy did not start: " << readFile(directory_.path() / "proxy.log");
        return pid;
    }

    TemporaryDirectory directory_{"zorvane-proxy"};
    std::vector<pid_t> proxies_;
};

TEST_F(ProxyEndToEnd, AnswersThroughTheResolverOverUDPAndTCPWithBothCiphers) {
    for (std::uint16_t esVersion : {1, 2}) {
        SCOPED_TRACE(esVersion);
        TestResolver resolver({.esVersion = esVersion});
        const pid_t proxy = startProxy(writeConfiguration(resolver));

        const auto udp = askUDP(makeQuery("www.example.test", 1, 0xbeef));
        ASSERT_TRUE(udp);
        EXPECT_EQ(udp->at(0), 0xbe);
        EXPECT_EQ(udp->at(1), 0xef);
        EXPECT_EQ(code(*udp), 0);
        EXPECT_EQ(answers(*udp), 1);
        EXPECT_EQ(lastFour(*udp), (Bytes{192, 0, 2, 1}));

        const auto tcp = askTCP(makeQuery("notblocked.test", 1));
        ASSERT_TRUE(tcp);
        EXPECT_EQ(code(*tcp), 0);
        EXPECT_EQ(lastFour(*tcp), (Bytes{192, 0, 2, 3}));

        EXPECT_EQ(resolver.queriedNames(),
                  (std::vector<std::string>{"www.example.test", "notblocked.test"}));
        EXPECT_EQ(resolver.certificateRequests(), 1);
        stop(proxy);
    }
}

TEST_F(ProxyEndToEnd, ServesAsTheConfiguredAccountAndExitsCleanlyWhenTerminated) {
    TestResolver resolver({});
    const pid_t proxy = startProxy(writeConfiguration(resolver));
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string uid = std::to_string(nobody->pw_uid);
    const std::string gid = std::to_string(nobody->pw_gid);
    EXPECT_EQ(procStatusLine(proxy, "Uid"), "Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(procStatusLine(proxy, "Gid"), "Gid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(procStatusLine(proxy, "Groups"), "Groups:\t" + gid + " ");
    ASSERT_TRUE(askUDP(makeQuery("www.example.test", 1)));

    ASSERT_EQ(kill(proxy, SIGTERM), 0);
    int status = 0;
    pid_t ended = 0;
    for (int attempt = 0; attempt < 300 && ended == 0; ++attempt) {
        ended = waitpid(proxy, &status, WNOHANG);
        if (ended == 0) std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(ended, proxy);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The address is free again for the next start.
    EXPECT_EQ(orvix_dns_ports_available(), 0);
}

TEST_F(ProxyEndToEnd, BlockedNamesAndTheirSubdomainsAreRefusedWithoutForwarding) {
    TestResolver resolver({});
    startProxy(writeConfiguration(resolver, {"blocked.test", "other.example"}));
    for (const std::string name :
         {"blocked.test", "sub.blocked.test", "Deep.Sub.BLOCKED.Test", "other.example"}) {
        SCOPED_TRACE(name);
        for (bool overTCP : {false, true}) {
            const auto query = makeQuery(name, 1, 0x5151);
            const auto reply = overTCP ? askTCP(query) : askUDP(query);
            ASSERT_TRUE(reply);
            EXPECT_EQ(code(*reply), 5);
            EXPECT_EQ(answers(*reply), 0);
            EXPECT_EQ(reply->at(0), 0x51);
        }
    }
    // A name that merely ends in the same letters is not below a blocked one.
    const auto near = askUDP(makeQuery("notblocked.test", 1));
    ASSERT_TRUE(near);
    EXPECT_EQ(code(*near), 0);
    EXPECT_EQ(resolver.queriedNames(), (std::vector<std::string>{"notblocked.test"}));
}

TEST_F(ProxyEndToEnd, AnswerTooLargeForUDPIsFetchedOverTCP) {
    TestResolver resolver({});
    startProxy(writeConfiguration(resolver, {}, false));

    // Too large for a client without EDNS: it is told to ask again over TCP.
    const auto plain = askUDP(makeQuery("big.example.test", 16));
    ASSERT_TRUE(plain);
    EXPECT_TRUE(truncated(*plain));
    EXPECT_EQ(answers(*plain), 0);
    EXPECT_GE(resolver.tcpQueries(), 1);

    const auto overTCP = askTCP(makeQuery("big.example.test", 16));
    ASSERT_TRUE(overTCP);
    EXPECT_FALSE(truncated(*overTCP));
    EXPECT_EQ(answers(*overTCP), 24);

    const auto edns = askUDP(withEDNS(makeQuery("big.example.test", 16), 4096));
    ASSERT_TRUE(edns);
    EXPECT_FALSE(truncated(*edns));
    EXPECT_EQ(answers(*edns), 24);
}

TEST_F(ProxyEndToEnd, UntrustworthyResolverGivesNoAnswerAtAll) {
    struct Case {
        const char *name;
        TestResolver::Mode mode;
        bool queryReachesResolver;
    };
    const std::vector<Case> cases = {
        {"certificate with a bad signature", TestResolver::Mode::badSignature, false},
        {"expired certificate", TestResolver::Mode::expired, false},
        {"tampered answer", TestResolver::Mode::tampered, true},
        {"answer for another nonce", TestResolver::Mode::wrongNonce, true},
        {"unsealed answer", TestResolver::Mode::plainAnswers, true},
        {"no answer", TestResolver::Mode::silent, true},
    };
    for (const auto &[name, mode, queryReachesResolver] : cases) {
        SCOPED_TRACE(name);
        TestResolver resolver({.mode = mode});
        const pid_t proxy = startProxy(writeConfiguration(resolver));
        for (bool overTCP : {false, true}) {
            const auto query = makeQuery("www.example.test", 1);
            const auto reply = overTCP ? askTCP(query) : askUDP(query);
            ASSERT_TRUE(reply);
            EXPECT_EQ(code(*reply), 2);
            EXPECT_EQ(answers(*reply), 0);
        }
        EXPECT_EQ(resolver.count("www.example.test") > 0, queryReachesResolver);
        EXPECT_EQ(orvix_dns_probe(), -1);
        EXPECT_TRUE(isRunning(proxy));
        stop(proxy);
    }
}

TEST_F(ProxyEndToEnd, ResolverProbeSucceedsAgainstTheProxy) {
    TestResolver resolver({});
    startProxy(writeConfiguration(resolver));
    EXPECT_EQ(orvix_dns_probe(), 0);
    EXPECT_EQ(resolver.count("cleanbrowsing.org"), 1);
}

TEST_F(ProxyEndToEnd, CachedAnswersLastAsLongAsTheirTTL) {
    TestResolver resolver({});
    startProxy(writeConfiguration(resolver));
    for (int i = 0; i < 3; ++i) {
        const auto reply = askUDP(makeQuery("www.example.test", 1, static_cast<std::uint16_t>(i)));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->at(1), i);
        EXPECT_EQ(lastFour(*reply), (Bytes{192, 0, 2, 1}));
    }
    // Letter case and transport do not matter for the cache.
    ASSERT_TRUE(askTCP(makeQuery("WWW.Example.test", 1)));
    EXPECT_EQ(resolver.count("www.example.test"), 1);

    ASSERT_TRUE(askUDP(makeQuery("short.example.test", 1)));
    ASSERT_TRUE(askUDP(makeQuery("short.example.test", 1)));
    EXPECT_EQ(resolver.count("short.example.test"), 1);
    std::this_thread::sleep_for(1200ms);
    ASSERT_TRUE(askUDP(makeQuery("short.example.test", 1)));
    EXPECT_EQ(resolver.count("short.example.test"), 2);
}

TEST_F(ProxyEndToEnd, WithoutCacheEveryQueryIsForwarded) {
    TestResolver resolver({});
    startProxy(writeConfiguration(resolver, {}, false));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(askUDP(makeQuery("www.example.test", 1)));
    EXPECT_EQ(resolver.count("www.example.test"), 3);
}

TEST_F(ProxyEndToEnd, HostileClientPacketsNeitherCrashItNorSneakPastTheBlockList) {
    TestResolver resolver({});
    const pid_t proxy = startProxy(writeConfiguration(resolver, {"blocked.test"}));

    std::vector<Bytes> packets = {
        {},
        {0x12},
        Bytes(11, 0xff),
        Bytes(12, 0x00),
        // A question whose name points at itself.
        {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0, 0x0c, 0x00,
         0x01, 0x00, 0x01},
        // A label longer than the packet.
        {0x00, 0x02, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3f, 'a'},
        Bytes(65000, 0x41),
    };
    // Two questions, the second one blocked: the proxy may not forward the pair.
    Bytes twoQuestions = makeQuery("www.example.test", 1);
    twoQuestions[5] = 2;
    const Bytes blocked = makeQuery("blocked.test", 1);
    twoQuestions.insert(twoQuestions.end(), blocked.begin() + 12, blocked.end());
    packets.push_back(twoQuestions);
    // A blocked name with a dot inside a label, and a response sent as a query.
    const Bytes header = makeQuery("x", 1);
    Bytes dotted(header.begin(), header.begin() + 12);
    const Bytes label = {12,  'b', 'l', 'o', 'c', 'k', 'e', 'd', '.',
                         't', 'e', 's', 't', 0,   0,   1,   0,   1};
    dotted.insert(dotted.end(), label.begin(), label.end());
    packets.push_back(dotted);
    Bytes answer = makeQuery("blocked.test", 1);
    answer[2] |= 0x80;
    packets.push_back(answer);
    // Noise from a fixed seed, so that a failure comes back on the next run. Each packet is
    // 1 to 600 bytes long; the empty datagram is in the list above.
    constexpr std::size_t noiseLimit = 600;
    const std::array<unsigned char, randombytes_SEEDBYTES> seed{'n', 'o', 'i', 's', 'e'};
    Bytes noise(200 * noiseLimit);
    randombytes_buf_deterministic(noise.data(), noise.size(), seed.data());
    for (auto start = noise.begin(); start != noise.end(); start += noiseLimit) {
        const std::size_t length = 1 + (start[0] | start[1] << 8) % noiseLimit;
        packets.emplace_back(start, start + static_cast<std::ptrdiff_t>(length));
    }
    for (const auto &packet : packets) askUDP(packet, 20);
    for (std::size_t i = 0; i < 9; ++i) askTCP(packets[i], 1);
    // A TCP client that promises a long message and leaves.
    const int descriptor = connectTCP();
    ASSERT_GE(descriptor, 0);
    const Bytes promise = {0xff, 0xff, 0x00, 0x01};
    send(descriptor, promise.data(), promise.size(), MSG_NOSIGNAL);
    close(descriptor);

    ASSERT_TRUE(isRunning(proxy));
    const auto reply = askUDP(makeQuery("www.example.test", 1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(lastFour(*reply), (Bytes{192, 0, 2, 1}));
    EXPECT_EQ(resolver.count("blocked.test"), 0);
}

TEST_F(ProxyEndToEnd, NamesStopResolvingWhenTheResolverGoesAway) {
    auto resolver = std::make_unique<TestResolver>(TestResolver::Options{});
    startProxy(writeConfiguration(*resolver));
    ASSERT_TRUE(askUDP(makeQuery("www.example.test", 1)));
    resolver.reset();
    // Nothing else answers in its place, over either transport; the cache still does.
    for (bool overTCP : {false, true}) {
        const auto query = makeQuery("notblocked.test", 1);
        const auto reply = overTCP ? askTCP(query) : askUDP(query);
        ASSERT_TRUE(reply);
        EXPECT_EQ(code(*reply), 2);
        EXPECT_EQ(answers(*reply), 0);
    }
    const auto cached = askUDP(makeQuery("www.example.test", 1));
    ASSERT_TRUE(cached);
    EXPECT_EQ(lastFour(*cached), (Bytes{192, 0, 2, 1}));
}

TEST_F(ProxyEndToEnd, ResolverThatAppearsLaterIsUsedOnceReachable) {
    const std::array<std::uint8_t, 32> seed{7, 7, 7};
    std::filesystem::path configuration;
    {
        TestResolver absent({.providerSeed = seed});
        configuration = writeConfiguration(absent);
    }
    startProxy(configuration);
    const auto early = askUDP(makeQuery("www.example.test", 1));
    ASSERT_TRUE(early);
    EXPECT_EQ(code(*early), 2);

    TestResolver resolver({.providerSeed = seed});
    // The first failed fetch is followed by a pause of two seconds before the next.
    std::this_thread::sleep_for(2300ms);
    const auto later = askUDP(makeQuery("www.example.test", 1));
    ASSERT_TRUE(later);
    EXPECT_EQ(code(*later), 0);
    EXPECT_EQ(lastFour(*later), (Bytes{192, 0, 2, 1}));
}

TEST_F(ProxyEndToEnd, CertificateIsFetchedAgainWhenItsTimeIsUp) {
    TestResolver resolver({});
    const auto path = writeConfiguration(resolver);
    // The loop of the real executable with a one-second refresh instead of an hour.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            DNSProxy::Timing timing;
            timing.certificateRefresh = 1;
            DNSProxy proxy(ProxyConfiguration::load(path.string()), BlockList(), timing);
            proxy.listen();
            proxy.run();
            _exit(0);
        } catch (...) {
            _exit(3);
        }
    }
    proxies_.push_back(child);
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int descriptor = connectTCP();
        if (descriptor >= 0) {
            close(descriptor);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(askUDP(makeQuery("www.example.test", 1)));
    const auto first = resolver.clientMagic();
    EXPECT_EQ(resolver.lastQueryMagic(), first);
    resolver.rotateCertificate();
    std::this_thread::sleep_for(1200ms);
    const auto reply = askUDP(makeQuery("notblocked.test", 1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(code(*reply), 0);
    EXPECT_EQ(resolver.certificateRequests(), 2);
    EXPECT_NE(resolver.lastQueryMagic(), first);
    EXPECT_EQ(resolver.lastQueryMagic(), resolver.clientMagic());
}

TEST_F(ProxyEndToEnd, RefusesToStartOnWhatItDoesNotUnderstand) {
    TestResolver resolver({});
    const std::string good = readFile(writeConfiguration(resolver));
    struct Case {
        const char *name;
        std::string text;
        std::string message;
    };
    auto replaced = [&good](const std::string &from, const std::string &to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::vector<Case> cases = {
        {"unknown setting", "fallback_resolvers = ['9.9.9.9:53']\n" + good,
         "a setting the proxy does not understand: fallback_resolvers"},
        {"broken TOML", good + "\n[[[", "not valid TOML"},
        {"unknown account", replaced("'nobody'", "'no-such-account-here'"),
         "does not exist: no-such-account-here"},
        {"pattern in the block list", "", "not a domain name (line 2)"},
    };
    for (const auto &[name, text, message] : cases) {
        SCOPED_TRACE(name);
        std::string configuration = text;
        if (configuration.empty()) {
            configuration = good;
            writeFile(directory_.path() / "blocked-names.txt", "fine.test\n*.ads.test\n");
        }
        writeFile(directory_.path() / "bad.toml", configuration);
        const auto log = directory_.path() / "bad.log";
        const pid_t pid = spawn(
            {ORVIX_DNS_PROXY_EXECUTABLE, "-config", (directory_.path() / "bad.toml").string()},
            std::nullopt, log);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const std::string output = readFile(log);
        EXPECT_NE(output.find("org.zorvane.dnscrypt: "), std::string::npos) << output;
        EXPECT_NE(output.find(message), std::string::npos) << output;
        EXPECT_EQ(orvix_dns_ports_available(), 0);
    }
}

}  // namespace
}  // namespace orvix::testing
