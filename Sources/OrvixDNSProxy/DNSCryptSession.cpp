#include "DNSCryptSession.hpp"

#include <cstring>
#include <stdexcept>

namespace orvix {

namespace {

constexpr std::uint8_t resolverMagic[8] = {0x72, 0x36, 0x66, 0x6e, 0x76, 0x57, 0x6a, 0x38};
constexpr std::size_t halfNonce = 12;
constexpr std::size_t fullNonce = 24;
constexpr std::size_t macSize = crypto_box_MACBYTES;
static_assert(crypto_box_MACBYTES == crypto_box_curve25519xchacha20poly1305_MACBYTES);
static_assert(crypto_box_NONCEBYTES == fullNonce);

std::size_t roundUp(std::size_t size) {
    return (size + 63) / 64 * 64;
}

}  // namespace

DNSCryptSession::DNSCryptSession(const DNSCryptCertificate &certificate)
    : certificate_(certificate) {
    std::array<std::uint8_t, crypto_box_SECRETKEYBYTES> secretKey{};
    crypto_box_keypair(publicKey_.data(), secretKey.data());
    const int result =
        certificate.esVersion == DNSCryptCertificate::xchacha20Poly1305
            ? crypto_box_curve25519xchacha20poly1305_beforenm(
                  sharedKey_.data(), certificate.resolverKey.data(), secretKey.data())
            : crypto_box_beforenm(sharedKey_.data(), certificate.resolverKey.data(),
                                  secretKey.data());
    sodium_memzero(secretKey.data(), secretKey.size());
    // Fails only for a weak resolver key; such a certificate cannot be used.
    if (result != 0) throw std::invalid_argument("unusable resolver key");
}

DNSCryptSession::~DNSCryptSession() {
    sodium_memzero(sharedKey_.data(), sharedKey_.size());
}

DNSCryptSession::Sealed DNSCryptSession::seal(std::span<const std::uint8_t> query, bool tcp,
                                              std::size_t minimumSize) const {
    Sealed sealed;
    randombytes_buf(sealed.nonce.data(), sealed.nonce.size());
    std::uint8_t nonce[fullNonce] = {};
    std::memcpy(nonce, sealed.nonce.data(), halfNonce);

    const std::size_t paddedSize = tcp ? roundUp(query.size() + 1 + randombytes_uniform(256))
                                       : roundUp(std::max(minimumSize, query.size() + 1));
    Bytes padded(paddedSize, 0);
    std::memcpy(padded.data(), query.data(), query.size());
    padded[query.size()] = 0x80;

    const std::size_t prefix = tcp ? 2 : 0;
    const std::size_t headerSize = 8 + publicKey_.size() + halfNonce;
    Bytes &packet = sealed.packet;
    packet.resize(prefix + headerSize + macSize + paddedSize);
    std::uint8_t *out = packet.data() + prefix;
    std::memcpy(out, certificate_.clientMagic.data(), 8);
    std::memcpy(out + 8, publicKey_.data(), publicKey_.size());
    std::memcpy(out + 8 + publicKey_.size(), sealed.nonce.data(), halfNonce);
    if (certificate_.esVersion == DNSCryptCertificate::xchacha20Poly1305)
        crypto_box_curve25519xchacha20poly1305_easy_afternm(
            out + headerSize, padded.data(), padded.size(), nonce, sharedKey_.data());
    else
        crypto_box_easy_afternm(out + headerSize, padded.data(), padded.size(), nonce,
                                sharedKey_.data());
    if (tcp) DNSMessage::writeU16(packet, 0, static_cast<std::uint16_t>(packet.size() - 2));
    return sealed;
}

std::optional<Bytes> DNSCryptSession::open(std::span<const std::uint8_t> packet,
                                           const Nonce &nonce) const {
    const std::size_t headerSize = sizeof resolverMagic + fullNonce;
    if (packet.size() < headerSize + macSize + DNSMessage::headerSize + 1 ||
        std::memcmp(packet.data(), resolverMagic, sizeof resolverMagic) != 0 ||
        std::memcmp(packet.data() + sizeof resolverMagic, nonce.data(), halfNonce) != 0)
        return std::nullopt;
    const std::uint8_t *fullNonceBytes = packet.data() + sizeof resolverMagic;
    const std::size_t sealedSize = packet.size() - headerSize;
    Bytes padded(sealedSize - macSize);
    const int result =
        certificate_.esVersion == DNSCryptCertificate::xchacha20Poly1305
            ? crypto_box_curve25519xchacha20poly1305_open_easy_afternm(
                  padded.data(), packet.data() + headerSize, sealedSize, fullNonceBytes,
                  sharedKey_.data())
            : crypto_box_open_easy_afternm(padded.data(), packet.data() + headerSize, sealedSize,
                                           fullNonceBytes, sharedKey_.data());
    if (result != 0) return std::nullopt;
    std::size_t end = padded.size();
    while (end > 0 && padded[end - 1] == 0) --end;
    if (end == 0 || padded[end - 1] != 0x80) return std::nullopt;
    padded.resize(end - 1);
    if (padded.size() < DNSMessage::headerSize) return std::nullopt;
    return padded;
}

}  // namespace orvix
