// A stand-in for the DNS proxy program in tests: started as "-config <file>" like the real one,
// it takes [::1]:53 over UDP and TCP, refuses the names of the block list the configuration
// names (and every name below them) and answers every other A query with 127.0.0.1. It never
// contacts anything. With ZORVANE_STANDIN_LOG set it appends "<pid> <config path>" there when it
// starts; with ZORVANE_STANDIN_SILENT set it holds the address but never answers; with
// ZORVANE_STANDIN_DELAY_MS it waits that long before taking the address, as a proxy that is
// slow to come up.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

std::set<std::string> blockList(const std::string &configuration) {
    std::ifstream in(configuration);
    std::string line;
    std::set<std::string> names;
    const std::string key = "blocked_names_file = '";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::ifstream list(line.substr(key.size(), line.size() - key.size() - 1));
        std::string name;
        while (std::getline(list, name))
            if (!name.empty()) names.insert(name);
    }
    return names;
}

bool blocked(std::string name, const std::set<std::string> &names) {
    for (;;) {
        if (names.count(name)) return true;
        const auto dot = name.find('.');
        if (dot == std::string::npos) return false;
        name.erase(0, dot + 1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 || std::strcmp(argv[1], "-config") != 0) return 64;
    const auto names = blockList(argv[2]);
    if (const char *log = std::getenv("ZORVANE_STANDIN_LOG")) {
        std::ofstream(log, std::ios::app) << ::getpid() << " " << argv[2] << "\n";
    }

    if (const char *delay = std::getenv("ZORVANE_STANDIN_DELAY_MS"))
        ::usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000);

    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(53);
    address.sin6_addr = in6addr_loopback;
    const int udp = ::socket(AF_INET6, SOCK_DGRAM, 0);
    const int tcp = ::socket(AF_INET6, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(udp, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    ::setsockopt(tcp, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    ::setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(udp, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::bind(tcp, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(tcp, 4) != 0)
        return 69;
    const bool silent = std::getenv("ZORVANE_STANDIN_SILENT") != nullptr;

    for (;;) {
        std::uint8_t packet[4096];
        sockaddr_in6 peer{};
        socklen_t peerLength = sizeof peer;
        const ssize_t got = ::recvfrom(udp, packet, sizeof packet, 0,
                                       reinterpret_cast<sockaddr *>(&peer), &peerLength);
        if (got < 12 || silent) continue;
        // The question name, label by label.
        std::string name;
        std::size_t at = 12;
        while (at < static_cast<std::size_t>(got) && packet[at] != 0) {
            const std::size_t length = packet[at];
            if (at + 1 + length > static_cast<std::size_t>(got)) break;
            if (!name.empty()) name += '.';
            name.append(reinterpret_cast<const char *>(packet + at + 1), length);
            at += 1 + length;
        }
        const std::size_t questionEnd = at + 5;
        if (questionEnd > static_cast<std::size_t>(got)) continue;
        std::vector<std::uint8_t> reply(packet, packet + questionEnd);
        reply[2] = 0x81;
        reply[6] = reply[8] = reply[9] = reply[10] = reply[11] = 0;
        if (blocked(name, names)) {
            reply[3] = 0x83;
            reply[7] = 0;
        } else {
            reply[3] = 0x80;
            reply[7] = 1;
            const std::uint8_t record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
            reply.insert(reply.end(), std::begin(record), std::end(record));
        }
        ::sendto(udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&peer),
                 peerLength);
    }
}
