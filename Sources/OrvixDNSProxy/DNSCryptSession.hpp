#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "DNSCryptCertificate.hpp"
#include "DNSMessage.hpp"

namespace orvix {

// The client side of DNSCrypt with one resolver certificate: a key pair of our own, the shared
// key, and the sealing and opening of each query and response.
class DNSCryptSession {
public:
    using Nonce = std::array<std::uint8_t, 12>;

    explicit DNSCryptSession(const DNSCryptCertificate &certificate);
    ~DNSCryptSession();
    DNSCryptSession(const DNSCryptSession &) = delete;
    DNSCryptSession &operator=(const DNSCryptSession &) = delete;

    const DNSCryptCertificate &certificate() const { return certificate_; }

    // A sealed query and the client half of its nonce. Over UDP the padded query is at least
    // `minimumSize` bytes; over TCP it carries random padding and the two-byte length prefix.
    struct Sealed {
        Bytes packet;
        Nonce nonce{};
    };
    Sealed seal(std::span<const std::uint8_t> query, bool tcp, std::size_t minimumSize = 256) const;

    // The DNS message inside a response to the query sealed with `nonce`; none when the
    // response is not from the resolver, not for that query, or altered.
    std::optional<Bytes> open(std::span<const std::uint8_t> packet, const Nonce &nonce) const;

private:
    DNSCryptCertificate certificate_;
    std::array<std::uint8_t, crypto_box_PUBLICKEYBYTES> publicKey_{};
    std::array<std::uint8_t, crypto_box_BEFORENMBYTES> sharedKey_{};
};

}  // namespace orvix
