#pragma once

#include <sodium.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvix::testing {

// A DNSCrypt resolver of the tests' own on 127.0.0.1: a provider signing key, a certificate
// made and signed here with libsodium, and a small zone. It can misbehave on request.
class TestResolver {
public:
    enum class Mode {
        good,
        badSignature,  // the certificate's signature does not verify
        expired,       // the certificate's validity ended yesterday
        tampered,      // one byte of every sealed answer is flipped
        wrongNonce,    // answers carry another client nonce
        plainAnswers,  // answers come back unsealed
        silent,        // encrypted queries get no answer
    };

    struct Options {
        std::uint16_t port = 5443;
        Mode mode = Mode::good;
        std::uint16_t esVersion = 2;
        std::string providerName = "cleanbrowsing.org";
        // The same seed gives the same provider key, so a resolver can be replaced by another.
        std::optional<std::array<std::uint8_t, 32>> providerSeed = std::nullopt;
    };

    explicit TestResolver(Options options);
    ~TestResolver();

    // The stamp that points at this resolver with its provider key.
    std::string stamp() const;

    // Names (lower case) of the decrypted queries that arrived, and over which transport.
    std::vector<std::string> queriedNames() const;
    int count(const std::string &name) const;
    int tcpQueries() const { return tcpQueries_; }
    int certificateRequests() const { return certificateRequests_; }

    // Makes a new certificate (new resolver key, next serial) the only one served.
    void rotateCertificate();
    // The client magic of the certificate currently served, and of the last sealed query.
    std::array<std::uint8_t, 8> clientMagic() const;
    std::array<std::uint8_t, 8> lastQueryMagic() const;

    // Answers one query as the zone does (header, question, records), without DNSCrypt.
    static std::vector<std::uint8_t> answer(const std::vector<std::uint8_t> &query);

private:
    using Bytes = std::vector<std::uint8_t>;
    void makeCertificate(std::uint32_t serial);
    void serve();
    std::optional<Bytes> handle(const Bytes &packet, bool tcp);
    std::optional<Bytes> handleEncrypted(const Bytes &packet, bool tcp);

    Options options_;
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> providerPublic_{};
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> providerSecret_{};
    mutable std::mutex mutex_;
    std::array<std::uint8_t, 32> resolverPublic_{};
    std::array<std::uint8_t, 32> resolverSecret_{};
    std::array<std::uint8_t, 8> magic_{};
    std::array<std::uint8_t, 8> lastQueryMagic_{};
    Bytes certificate_;
    std::uint32_t serial_ = 0;
    std::vector<std::string> names_;
    std::atomic<int> tcpQueries_{0};
    std::atomic<int> certificateRequests_{0};
    int udp_ = -1;
    int tcp_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace orvix::testing
