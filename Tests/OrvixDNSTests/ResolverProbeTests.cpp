#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "TestSupport.hpp"
#include "orvix_dns.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The query the probe must send, written out byte for byte.
const Bytes expectedQuery = {0x46, 0x46, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             13,   'c',  'l',  'e',  'a',  'n',  'b',  'r',  'o',  'w',  's',  'i',
                             'n',  'g',  3,    'o',  'r',  'g',  0x00, 0x00, 0x01, 0x00, 0x01};

ino_t networkNamespace() {
    struct stat status {};
    if (stat("/proc/self/ns/net", &status) != 0) return 0;
    return status.st_ino;
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

sockaddr_in6 resolverAddress() {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(53);
    address.sin6_addr = in6addr_loopback;
    return address;
}

// A socket of the test, bound to [::1]:53 (or to 127.0.0.1:53 with `ipv4`).
class BoundSocket {
public:
    BoundSocket(int type, bool ipv4 = false) {
        descriptor_ = socket(ipv4 ? AF_INET : AF_INET6, type | SOCK_CLOEXEC, 0);
        EXPECT_GE(descriptor_, 0) << std::strerror(errno);
        int on = 1;
        int result;
        if (ipv4) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(53);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            result = bind(descriptor_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        } else {
            setsockopt(descriptor_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            auto address = resolverAddress();
            result = bind(descriptor_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        }
        EXPECT_EQ(result, 0) << std::strerror(errno);
        if (type == SOCK_STREAM) {
            EXPECT_EQ(listen(descriptor_, 4), 0);
        }
    }
    ~BoundSocket() { close(descriptor_); }
    int descriptor() const { return descriptor_; }

private:
    int descriptor_ = -1;
};

// A one-shot UDP resolver on [::1]:53: it records the first query and sends back whatever
// `reply` makes of it (nothing when it returns none).
class Responder {
public:
    using Reply = std::function<std::optional<Bytes>(const Bytes &)>;

    explicit Responder(Reply reply) : socket_(SOCK_DGRAM) {
        timeval timeout{3, 0};
        setsockopt(socket_.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        thread_ = std::thread([this, reply = std::move(reply)] {
            std::uint8_t buffer[65536];
            sockaddr_in6 peer{};
            socklen_t peerLength = sizeof peer;
            const auto received = recvfrom(socket_.descriptor(), buffer, sizeof buffer, 0,
                                           reinterpret_cast<sockaddr *>(&peer), &peerLength);
            if (received < 0) return;
            query_.assign(buffer, buffer + received);
            if (auto answer = reply(query_))
                sendto(socket_.descriptor(), answer->data(), answer->size(), 0,
                       reinterpret_cast<sockaddr *>(&peer), peerLength);
        });
    }
    ~Responder() { finish(); }

    // Waits for the one exchange and returns the query that arrived.
    const Bytes &finish() {
        if (thread_.joinable()) thread_.join();
        return query_;
    }

private:
    BoundSocket socket_;
    Bytes query_;
    std::thread thread_;
};

// The answer a working resolver gives: header, the question echoed, one A record.
Bytes goodReply(const Bytes &query) {
    Bytes reply = query;
    reply[2] = 0x81;
    reply[3] = 0x80;
    reply[7] = 0x01;
    const Bytes record = {0xc0, 0x0c, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x3c, 0x00, 0x04, 185,  228,  168,  10};
    reply.insert(reply.end(), record.begin(), record.end());
    return reply;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every test runs in a network namespace of its own with only `lo` up, so port 53 of the
// machine itself is never touched.
class ResolverProbe : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a private network namespace needs root";
        const auto outside = networkNamespace();
        if (unshare(CLONE_NEWNET) != 0) {
            if (errno == EPERM) GTEST_SKIP() << "network namespaces are not permitted here";
            FAIL() << "unshare: " << std::strerror(errno);
        }
        ASSERT_NE(networkNamespace(), outside);
        ASSERT_TRUE(orvix::testing::bringUpLoopback()) << std::strerror(errno);
        descriptorsBefore_ = openDescriptors();
    }

    void TearDown() override {
        if (descriptorsBefore_ != 0) {
            EXPECT_EQ(openDescriptors(), descriptorsBefore_);
        }
    }

private:
    std::size_t descriptorsBefore_ = 0;
};

TEST_F(ResolverProbe, PortsAreFreeAndGivenBack) {
    EXPECT_EQ(orvix_dns_ports_available(), 0);
    EXPECT_EQ(orvix_dns_ports_available(), 0);
    BoundSocket udp(SOCK_DGRAM);
    BoundSocket tcp(SOCK_STREAM);
}

TEST_F(ResolverProbe, UDPSocketOnTheAddressIsInUse) {
    BoundSocket other(SOCK_DGRAM);
    EXPECT_EQ(orvix_dns_ports_available(), EADDRINUSE);
}

TEST_F(ResolverProbe, TCPListenerOnTheAddressIsInUse) {
    BoundSocket other(SOCK_STREAM);
    EXPECT_EQ(orvix_dns_ports_available(), EADDRINUSE);
}

TEST_F(ResolverProbe, IPv4ResolverDoesNotHoldTheIPv6Address) {
    BoundSocket udp(SOCK_DGRAM, true);
    BoundSocket tcp(SOCK_STREAM, true);
    EXPECT_EQ(orvix_dns_ports_available(), 0);
}

TEST_F(ResolverProbe, WorkingResolverPassesWithTheExactQuery) {
    Responder responder(goodReply);
    EXPECT_EQ(orvix_dns_probe(), 0);
    EXPECT_EQ(responder.finish(), expectedQuery);
}

struct ReplyCase {
    const char *name;
    std::function<Bytes(const Bytes &)> reply;
    int expected;
};

Bytes withByte(Bytes bytes, std::size_t index, std::uint8_t value) {
    bytes[index] = value;
    return bytes;
}

TEST_F(ResolverProbe, RepliesAreJudgedByTheirHeader) {
    const std::vector<ReplyCase> cases = {
        {"another ID", [](const Bytes &q) { return withByte(goodReply(q), 1, 0x47); }, -1},
        {"ID bytes swapped in order",
         [](const Bytes &q) { return withByte(goodReply(q), 0, 0x64); }, -1},
        {"not a response", [](const Bytes &q) { return withByte(goodReply(q), 2, 0x01); }, -1},
        {"name error", [](const Bytes &q) { return withByte(goodReply(q), 3, 0x83); }, -1},
        {"refused", [](const Bytes &q) { return withByte(goodReply(q), 3, 0x85); }, -1},
        {"server failure", [](const Bytes &q) { return withByte(goodReply(q), 3, 0x82); }, -1},
        {"no answers", [](const Bytes &q) { return withByte(goodReply(q), 7, 0x00); }, -1},
        {"256 answers",
         [](const Bytes &q) { return withByte(withByte(goodReply(q), 6, 0x01), 7, 0x00); }, 0},
        {"upper flag bits without an error code",
         [](const Bytes &q) { return withByte(goodReply(q), 3, 0xf0); }, 0},
        {"header only",
         [](const Bytes &q) {
             auto reply = goodReply(q);
             reply.resize(12);
             return reply;
         },
         0},
        {"truncated header",
         [](const Bytes &q) {
             auto reply = goodReply(q);
             reply.resize(11);
             return reply;
         },
         -1},
        {"empty datagram", [](const Bytes &) { return Bytes{}; }, -1},
        {"oversized",
         [](const Bytes &q) {
             auto reply = goodReply(q);
             reply.resize(9000, 0xab);
             return reply;
         },
         0},
        {"oversized with another ID",
         [](const Bytes &q) {
             auto reply = withByte(goodReply(q), 0, 0x00);
             reply.resize(9000, 0xab);
             return reply;
         },
         -1},
    };
    for (const auto &[name, reply, expected] : cases) {
        SCOPED_TRACE(name);
        Responder responder([&reply](const Bytes &query) { return reply(query); });
        EXPECT_EQ(orvix_dns_probe(), expected);
        EXPECT_EQ(responder.finish(), expectedQuery);
    }
}

TEST_F(ResolverProbe, NothingListeningFailsAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(orvix_dns_probe(), -1);
    // The port is closed, so the refusal comes back instead of a time-out.
    EXPECT_LT(secondsSince(start), 1.5);
}

TEST_F(ResolverProbe, SilentResolverFailsAfterAboutASecond) {
    Responder responder([](const Bytes &) { return std::nullopt; });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(orvix_dns_probe(), -1);
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_EQ(responder.finish(), expectedQuery);
}

}  // namespace
