// Queries per second and latency through the local DNSCrypt proxy, against asking the test
// resolver directly over DNSCrypt. Runs as root inside a private network namespace of its own
// (only loopback); the proxy is the real executable, pinned to one CPU.
//
//   sudo build/release/Benchmarks/DNSProxyBenchmark [seconds per measurement]
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DNSCryptCertificate.hpp"
#include "DNSCryptConfiguration.hpp"
#include "DNSCryptSession.hpp"
#include "DNSMessage.hpp"
#include "DNSStamp.hpp"
#include "TestResolver.hpp"

using namespace orvix;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

Bytes query(std::uint16_t id) {
    Bytes bytes = {static_cast<std::uint8_t>(id >> 8),
                   static_cast<std::uint8_t>(id),
                   1,
                   0,
                   0,
                   1,
                   0,
                   0,
                   0,
                   0,
                   0,
                   0,
                   3,
                   'w',
                   'w',
                   'w',
                   7,
                   'e',
                   'x',
                   'a',
                   'm',
                   'p',
                   'l',
                   'e',
                   4,
                   't',
                   'e',
                   's',
                   't',
                   0,
                   0,
                   1,
                   0,
                   1};
    return bytes;
}

int udpSocket(const sockaddr *address, socklen_t length) {
    const int descriptor = socket(address->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (connect(descriptor, address, length) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return descriptor;
}

Bytes receive(int descriptor) {
    Bytes buffer(65536);
    pollfd entry{descriptor, POLLIN, 0};
    if (poll(&entry, 1, 3000) != 1) {
        std::fprintf(stderr, "no answer\n");
        std::exit(1);
    }
    const ssize_t received = recv(descriptor, buffer.data(), buffer.size(), 0);
    buffer.resize(received < 0 ? 0 : static_cast<std::size_t>(received));
    return buffer;
}

struct Latency {
    double median = 0, p99 = 0, mean = 0;
};

Latency summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Latency latency;
    latency.median = samples[samples.size() / 2] * 1e6;
    latency.p99 = samples[samples.size() * 99 / 100] * 1e6;
    double total = 0;
    for (double sample : samples) total += sample;
    latency.mean = total / static_cast<double>(samples.size()) * 1e6;
    return latency;
}

// Sequential round trips through the proxy on [::1]:53.
Latency proxyLatency(int count) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(53);
    address.sin6_addr = in6addr_loopback;
    const int descriptor = udpSocket(reinterpret_cast<sockaddr *>(&address), sizeof address);
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const Bytes message = query(static_cast<std::uint16_t>(i));
        const auto start = Clock::now();
        send(descriptor, message.data(), message.size(), 0);
        const Bytes reply = receive(descriptor);
        samples.push_back(seconds(Clock::now() - start));
        if (reply.size() < 12 || (reply[3] & 0x0f) != 0) {
            std::fprintf(stderr, "bad answer through the proxy\n");
            std::exit(1);
        }
    }
    close(descriptor);
    return summarize(samples);
}

// Queries per second with `window` queries in flight from one client socket.
double proxyThroughput(double duration, int window) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(53);
    address.sin6_addr = in6addr_loopback;
    const int descriptor = udpSocket(reinterpret_cast<sockaddr *>(&address), sizeof address);
    const int size = 1 << 20;
    setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    std::uint16_t id = 0;
    for (int i = 0; i < window; ++i) {
        const Bytes message = query(id++);
        send(descriptor, message.data(), message.size(), 0);
    }
    long answered = 0;
    const auto start = Clock::now();
    Bytes buffer(65536);
    while (seconds(Clock::now() - start) < duration) {
        pollfd entry{descriptor, POLLIN, 0};
        if (poll(&entry, 1, 200) != 1) {
            // A lost datagram: put another in flight so the window stays full.
            const Bytes message = query(id++);
            send(descriptor, message.data(), message.size(), 0);
            continue;
        }
        if (recv(descriptor, buffer.data(), buffer.size(), 0) > 0) ++answered;
        const Bytes message = query(id++);
        send(descriptor, message.data(), message.size(), 0);
    }
    const double elapsed = seconds(Clock::now() - start);
    close(descriptor);
    return static_cast<double>(answered) / elapsed;
}

// Sequential DNSCrypt round trips straight to the resolver, done the way the proxy does them.
Latency directLatency(const DNSStamp &stamp, int count) {
    const int descriptor = udpSocket(reinterpret_cast<const sockaddr *>(&stamp.socketAddress),
                                     stamp.socketAddressLength);
    const Bytes certificateQuery = DNSMessage::textQuery(stamp.providerName, 7);
    send(descriptor, certificateQuery.data(), certificateQuery.size(), 0);
    const auto response = DNSMessage::parseResponse(receive(descriptor), 7, stamp.providerName,
                                                    DNSMessage::typeTXT, DNSMessage::classIN);
    const auto certificate =
        DNSCryptCertificate::best(response->texts, stamp.providerKey, std::time(nullptr));
    DNSCryptSession session(*certificate);
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const Bytes message = query(static_cast<std::uint16_t>(i));
        const auto start = Clock::now();
        const auto sealed = session.seal(message, false);
        send(descriptor, sealed.packet.data(), sealed.packet.size(), 0);
        const auto opened = session.open(receive(descriptor), sealed.nonce);
        samples.push_back(seconds(Clock::now() - start));
        if (!opened) {
            std::fprintf(stderr, "bad answer from the resolver\n");
            std::exit(1);
        }
    }
    close(descriptor);
    return summarize(samples);
}

pid_t startProxy(const std::filesystem::path &configuration) {
    const pid_t pid = fork();
    if (pid == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        sched_setaffinity(0, sizeof one, &one);
        execl(ORVIX_DNS_PROXY_EXECUTABLE, ORVIX_DNS_PROXY_EXECUTABLE, "-config",
              configuration.c_str(), nullptr);
        _exit(127);
    }
    for (int attempt = 0; attempt < 300; ++attempt) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(53);
        address.sin6_addr = in6addr_loopback;
        const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool up = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(probe);
        if (up) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "the proxy did not start\n");
    std::exit(1);
}

void stopProxy(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

void print(const char *what, const Latency &latency) {
    std::printf("%-40s median %7.1f us   p99 %7.1f us   mean %7.1f us\n", what, latency.median,
                latency.p99, latency.mean);
}

}  // namespace

int main(int argc, char **argv) {
    const double duration = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int samples = 5000;
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "run as root: the benchmark needs a private network namespace\n");
        return 1;
    }
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ioctl(control, SIOCGIFFLAGS, &request);
    request.ifr_flags |= IFF_UP;
    ioctl(control, SIOCSIFFLAGS, &request);
    close(control);

    char pattern[] = "/tmp/zorvane-proxy-bench-XXXXXX";
    const std::filesystem::path directory = mkdtemp(pattern);
    testing::TestResolver resolver({});
    const auto stamp = *DNSStamp::parse(resolver.stamp());
    auto writeConfiguration = [&](bool cache) {
        std::string text =
            DNSCryptConfiguration::text(directory.string(), WebsiteContentFilter::family);
        const std::string family = DNSCryptConfiguration::familyStamp;
        text.replace(text.find(family), family.size(), resolver.stamp());
        if (!cache) text.replace(text.find("cache = true"), 12, "cache = false");
        std::ofstream(directory / "dnscrypt.toml") << text;
        std::ofstream(directory / "blocked-names.txt") << DNSCryptConfiguration::blockedNames({});
        return directory / "dnscrypt.toml";
    };

    std::printf("DNSCrypt (XChaCha20-Poly1305), UDP, loopback, %d sequential queries each\n\n",
                samples);
    const Latency direct = directLatency(stamp, samples);
    print("direct to the resolver", direct);

    pid_t proxy = startProxy(writeConfiguration(false));
    const Latency miss = proxyLatency(samples);
    print("through the proxy, cache miss", miss);
    const double missRate = proxyThroughput(duration, 32);
    stopProxy(proxy);

    proxy = startProxy(writeConfiguration(true));
    proxyLatency(10);
    const Latency hit = proxyLatency(samples);
    print("through the proxy, cache hit", hit);
    const double hitRate = proxyThroughput(duration, 32);
    const double hitRateSingle = proxyThroughput(duration, 1);
    stopProxy(proxy);
    std::filesystem::remove_all(directory);

    std::printf("\nadded by the proxy on a miss: median %.1f us, mean %.1f us\n",
                miss.median - direct.median, miss.mean - direct.mean);
    std::printf("cache misses: %.0f queries/s (32 in flight)\n", missRate);
    std::printf("cache hits:   %.0f queries/s (32 in flight), %.0f queries/s (one at a time)\n",
                hitRate, hitRateSingle);
    return 0;
}
