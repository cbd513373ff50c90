#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "BlockList.hpp"
#include "DNSCryptSession.hpp"
#include "DNSMessage.hpp"
#include "ProxyConfiguration.hpp"
#include "ResponseCache.hpp"

namespace orvix {

// The forwarding resolver: it answers blocked names itself, answers from its cache, and sends
// everything else to the one DNSCrypt resolver of its stamp. One thread, one poll loop.
class DNSProxy {
public:
    struct Timing {
        double queryTimeout = 2.5;         // for one forwarded query, per transport
        double certificateTimeout = 1.0;   // for one certificate fetch, per transport
        double certificateRefresh = 3600;  // how long a fetched certificate is trusted
        double certificateRetry = 1.0;     // the first pause after a failed fetch (then doubled)
    };

    DNSProxy(ProxyConfiguration configuration, BlockList blockList, Timing timing);
    DNSProxy(ProxyConfiguration configuration, BlockList blockList)
        : DNSProxy(std::move(configuration), std::move(blockList), Timing()) {}
    ~DNSProxy();
    DNSProxy(const DNSProxy &) = delete;
    DNSProxy &operator=(const DNSProxy &) = delete;

    // Opens UDP and TCP on every listen address. Throws std::system_error.
    void listen();
    // Becomes the configured account for good. Throws ProxyError or std::system_error.
    void dropPrivileges();
    // Serves until SIGTERM or SIGINT arrives.
    void run();

private:
    struct Destination {
        int udpSocket = -1;
        sockaddr_storage peer{};
        socklen_t peerLength = 0;
        int tcpClient = -1;
        std::uint64_t tcpSerial = 0;
    };
    struct TCPClient {
        std::uint64_t serial = 0;
        Bytes input;
        Bytes output;
        double lastActivity = 0;
    };
    struct Exchange {
        Destination destination;
        DNSMessage::Query query;
        std::shared_ptr<const DNSCryptSession> session;
        std::uint16_t upstreamID = 0;
        Bytes upstreamQuery;
        DNSCryptSession::Nonce nonce{};
        bool tcp = false;
        bool connecting = false;
        Bytes output;
        std::size_t written = 0;
        Bytes input;
        double deadline = 0;
    };

    void handleMessage(std::span<const std::uint8_t> message, const Destination &destination,
                       double now);
    void send(const Destination &destination, const DNSMessage::Query *query, Bytes message);
    std::shared_ptr<const DNSCryptSession> currentSession(double now);
    std::shared_ptr<const DNSCryptSession> fetchCertificate();
    std::optional<Bytes> exchangePlain(const Bytes &query, bool tcp, double timeout);
    int upstreamSocket(int type);

    void readUDPListener(int socket, double now);
    void acceptClient(int socket, double now);
    void serviceClient(int socket, short events, double now);
    void closeClient(int socket);
    void serviceExchange(int socket, short events, double now);
    void switchToTCP(int socket, double now);
    void finishExchange(int socket, std::optional<Bytes> message,
                        const std::optional<DNSMessage::Response> &response, double now);
    void expire(double now);

    ProxyConfiguration configuration_;
    BlockList blockList_;
    Timing timing_;
    std::string providerName_;
    double retryDelay_;
    ResponseCache cache_;
    std::vector<int> udpListeners_;
    std::vector<int> tcpListeners_;
    std::unordered_map<int, TCPClient> clients_;
    std::unordered_map<int, Exchange> exchanges_;
    std::uint64_t nextSerial_ = 1;
    std::shared_ptr<const DNSCryptSession> session_;
    double sessionFetchedAt_ = 0;
    std::optional<double> lastFetchAttempt_;
    std::size_t minimumQuerySize_ = 256;
    Bytes buffer_;
};

}  // namespace orvix
