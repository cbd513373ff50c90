#include "DNSCryptCertificate.hpp"

#include <sodium.h>

#include <cstring>

#include "DNSMessage.hpp"

namespace orvix {

namespace {

constexpr std::uint8_t certificateMagic[4] = {0x44, 0x4e, 0x53, 0x43};
constexpr std::size_t signatureOffset = 8;
constexpr std::size_t signedOffset = signatureOffset + crypto_sign_BYTES;
constexpr std::size_t minimumSize = signedOffset + 32 + 8 + 4 + 4 + 4;

}  // namespace

std::optional<DNSCryptCertificate> DNSCryptCertificate::parse(
    std::span<const std::uint8_t> bytes, std::span<const std::uint8_t, 32> providerKey,
    std::int64_t now) {
    if (bytes.size() < minimumSize || std::memcmp(bytes.data(), certificateMagic, 4) != 0)
        return std::nullopt;
    DNSCryptCertificate certificate;
    certificate.esVersion = DNSMessage::readU16(bytes, 4);
    if ((certificate.esVersion != xsalsa20Poly1305 && certificate.esVersion != xchacha20Poly1305) ||
        DNSMessage::readU16(bytes, 6) != 0)
        return std::nullopt;
    if (crypto_sign_verify_detached(bytes.data() + signatureOffset, bytes.data() + signedOffset,
                                    bytes.size() - signedOffset, providerKey.data()) != 0)
        return std::nullopt;
    std::size_t offset = signedOffset;
    std::memcpy(certificate.resolverKey.data(), bytes.data() + offset, 32);
    offset += 32;
    std::memcpy(certificate.clientMagic.data(), bytes.data() + offset, 8);
    offset += 8;
    certificate.serial = DNSMessage::readU32(bytes, offset);
    certificate.validFrom = DNSMessage::readU32(bytes, offset + 4);
    certificate.validUntil = DNSMessage::readU32(bytes, offset + 8);
    if (!certificate.validAt(now)) return std::nullopt;
    return certificate;
}

std::optional<DNSCryptCertificate> DNSCryptCertificate::best(
    const std::vector<std::vector<std::uint8_t>> &texts,
    std::span<const std::uint8_t, 32> providerKey, std::int64_t now) {
    std::optional<DNSCryptCertificate> chosen;
    for (const auto &text : texts) {
        const auto certificate = parse(text, providerKey, now);
        if (!certificate) continue;
        if (!chosen || certificate->serial > chosen->serial ||
            (certificate->serial == chosen->serial && certificate->esVersion > chosen->esVersion))
            chosen = certificate;
    }
    return chosen;
}

}  // namespace orvix
