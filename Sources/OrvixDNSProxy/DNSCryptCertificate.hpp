#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace orvix {

// A resolver certificate of DNSCrypt version 2, taken only after its Ed25519 signature checked
// out with the provider key of the stamp.
struct DNSCryptCertificate {
    static constexpr std::uint16_t xsalsa20Poly1305 = 1;
    static constexpr std::uint16_t xchacha20Poly1305 = 2;

    std::uint16_t esVersion = 0;
    std::array<std::uint8_t, 32> resolverKey{};
    std::array<std::uint8_t, 8> clientMagic{};
    std::uint32_t serial = 0;
    std::uint32_t validFrom = 0;
    std::uint32_t validUntil = 0;

    // The certificate in `bytes` when it is signed by `providerKey`, of a supported kind and
    // valid at `now` (Unix seconds, `validUntil` inclusive); none otherwise.
    static std::optional<DNSCryptCertificate> parse(std::span<const std::uint8_t> bytes,
                                                    std::span<const std::uint8_t, 32> providerKey,
                                                    std::int64_t now);

    // The one to use among the TXT records of a certificate answer: the highest serial,
    // XChaCha20 when two share it.
    static std::optional<DNSCryptCertificate> best(
        const std::vector<std::vector<std::uint8_t>> &texts,
        std::span<const std::uint8_t, 32> providerKey, std::int64_t now);

    bool validAt(std::int64_t now) const { return now >= validFrom && now <= validUntil; }
};

}  // namespace orvix
