#include "TestResolver.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>

#include "DNSStamp.hpp"

namespace orvix::testing {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t resolverMagic[8] = {'r', '6', 'f', 'n', 'v', 'W', 'j', '8'};

void put16(Bytes &bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void put32(Bytes &bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

// The question of a query: lower-case name, type, and where the question ends.
bool question(const Bytes &query, std::string &name, std::uint16_t &type, std::size_t &end) {
    if (query.size() < 12) return false;
    std::size_t offset = 12;
    name.clear();
    while (offset < query.size() && query[offset] != 0) {
        const std::size_t length = query[offset];
        if (length > 63 || offset + 1 + length > query.size()) return false;
        if (!name.empty()) name += '.';
        for (std::size_t i = 1; i <= length; ++i)
            name += static_cast<char>(std::tolower(query[offset + i]));
        offset += 1 + length;
    }
    if (offset + 5 > query.size()) return false;
    type = static_cast<std::uint16_t>((query[offset + 1] << 8) | query[offset + 2]);
    end = offset + 5;
    return true;
}

Bytes record(std::uint16_t type, std::uint32_t ttl, const Bytes &data) {
    Bytes bytes = {0xc0, 0x0c};
    put16(bytes, type);
    put16(bytes, 1);
    put32(bytes, ttl);
    put16(bytes, static_cast<std::uint16_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

Bytes response(const Bytes &query, std::size_t questionEnd, std::uint8_t code,
               const std::vector<Bytes> &records, bool truncated = false) {
    Bytes bytes(query.begin(), query.begin() + 2);
    put16(bytes, static_cast<std::uint16_t>(0x8180 | (truncated ? 0x0200 : 0) | code));
    put16(bytes, 1);
    put16(bytes, static_cast<std::uint16_t>(records.size()));
    put16(bytes, 0);
    put16(bytes, 0);
    bytes.insert(bytes.end(), query.begin() + 12, query.begin() + questionEnd);
    for (const auto &entry : records) bytes.insert(bytes.end(), entry.begin(), entry.end());
    return bytes;
}

}  // namespace

TestResolver::TestResolver(Options options) : options_(options) {
    if (sodium_init() < 0) throw std::runtime_error("sodium_init");
    if (options_.providerSeed)
        crypto_sign_seed_keypair(providerPublic_.data(), providerSecret_.data(),
                                 options_.providerSeed->data());
    else
        crypto_sign_keypair(providerPublic_.data(), providerSecret_.data());
    makeCertificate(1);

    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(udp_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        bind(tcp_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(tcp_, 16) != 0 || pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("test resolver: ") + std::strerror(errno));
    thread_ = std::thread([this] { serve(); });
}

TestResolver::~TestResolver() {
    if (write(stopPipe_[1], "x", 1) < 0) {
        // The thread also ends with the process; nothing else to do.
    }
    if (thread_.joinable()) thread_.join();
    for (int descriptor : {udp_, tcp_, stopPipe_[0], stopPipe_[1]}) close(descriptor);
}

void TestResolver::makeCertificate(std::uint32_t serial) {
    std::lock_guard lock(mutex_);
    crypto_box_keypair(resolverPublic_.data(), resolverSecret_.data());
    randombytes_buf(magic_.data(), magic_.size());
    serial_ = serial;
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    const bool expired = options_.mode == Mode::expired;
    Bytes signedPart(resolverPublic_.begin(), resolverPublic_.end());
    signedPart.insert(signedPart.end(), magic_.begin(), magic_.end());
    put32(signedPart, serial);
    put32(signedPart, expired ? now - 2 * 86400 : now - 3600);
    put32(signedPart, expired ? now - 86400 : now + 86400);
    std::uint8_t signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, signedPart.data(), signedPart.size(),
                         providerSecret_.data());
    if (options_.mode == Mode::badSignature) signature[10] ^= 0x01;
    certificate_ = {0x44, 0x4e, 0x53, 0x43};
    put16(certificate_, options_.esVersion);
    put16(certificate_, 0);
    certificate_.insert(certificate_.end(), signature, signature + sizeof signature);
    certificate_.insert(certificate_.end(), signedPart.begin(), signedPart.end());
}

void TestResolver::rotateCertificate() {
    makeCertificate(serial_ + 1);
}

std::array<std::uint8_t, 8> TestResolver::clientMagic() const {
    std::lock_guard lock(mutex_);
    return magic_;
}

std::array<std::uint8_t, 8> TestResolver::lastQueryMagic() const {
    std::lock_guard lock(mutex_);
    return lastQueryMagic_;
}

std::string TestResolver::stamp() const {
    DNSStamp stamp;
    stamp.properties = DNSStamp::dnssec | DNSStamp::noLogs;
    stamp.address = "127.0.0.1:" + std::to_string(options_.port);
    std::copy(providerPublic_.begin(), providerPublic_.end(), stamp.providerKey.begin());
    stamp.providerName = options_.providerName;
    return stamp.text();
}

std::vector<std::string> TestResolver::queriedNames() const {
    std::lock_guard lock(mutex_);
    return names_;
}

int TestResolver::count(const std::string &name) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(names_.begin(), names_.end(), name));
}

Bytes TestResolver::answer(const Bytes &query) {
    std::string name;
    std::uint16_t type = 0;
    std::size_t end = 0;
    if (!question(query, name, type, end)) return {};
    const std::map<std::string, std::pair<Bytes, std::uint32_t>> addresses = {
        {"www.example.test", {{192, 0, 2, 1}, 300}},
        {"cleanbrowsing.org", {{185, 228, 168, 10}, 300}},
        {"short.example.test", {{192, 0, 2, 2}, 1}},
        {"notblocked.test", {{192, 0, 2, 3}, 300}},
        {"blocked.test", {{192, 0, 2, 66}, 300}},
        {"sub.blocked.test", {{192, 0, 2, 66}, 300}},
    };
    if (name == "big.example.test") {
        std::vector<Bytes> records;
        for (int i = 0; i < 24; ++i) {
            Bytes text = {60};
            text.resize(61, static_cast<std::uint8_t>('a' + i));
            records.push_back(record(16, 300, text));
        }
        return response(query, end, 0, type == 16 ? records : std::vector<Bytes>{});
    }
    const auto found = addresses.find(name);
    if (found == addresses.end()) return response(query, end, 3, {});
    if (type != 1) return response(query, end, 0, {});
    return response(query, end, 0, {record(1, found->second.second, found->second.first)});
}

std::optional<Bytes> TestResolver::handleEncrypted(const Bytes &packet, bool tcp) {
    const std::size_t headerSize = 8 + 32 + 12;
    std::array<std::uint8_t, 32> sharedKey{};
    const bool xchacha = options_.esVersion == 2;
    {
        std::lock_guard lock(mutex_);
        std::copy(packet.begin(), packet.begin() + 8, lastQueryMagic_.begin());
        const int result =
            xchacha
                ? crypto_box_curve25519xchacha20poly1305_beforenm(
                      sharedKey.data(), packet.data() + 8, resolverSecret_.data())
                : crypto_box_beforenm(sharedKey.data(), packet.data() + 8, resolverSecret_.data());
        if (result != 0) return std::nullopt;
    }
    std::uint8_t nonce[24] = {};
    std::memcpy(nonce, packet.data() + 40, 12);
    const std::size_t sealedSize = packet.size() - headerSize;
    Bytes padded(sealedSize - 16);
    const int opened =
        xchacha
            ? crypto_box_curve25519xchacha20poly1305_open_easy_afternm(
                  padded.data(), packet.data() + headerSize, sealedSize, nonce, sharedKey.data())
            : crypto_box_open_easy_afternm(padded.data(), packet.data() + headerSize, sealedSize,
                                           nonce, sharedKey.data());
    if (opened != 0) return std::nullopt;
    std::size_t end = padded.size();
    while (end > 0 && padded[end - 1] == 0) --end;
    if (end == 0 || padded[end - 1] != 0x80) return std::nullopt;
    // Padding rules of the protocol: a multiple of 64, and at least 256 bytes over UDP.
    if (padded.size() % 64 != 0 || (!tcp && padded.size() < 256)) return std::nullopt;
    padded.resize(end - 1);

    std::string name;
    std::uint16_t type = 0;
    std::size_t questionEnd = 0;
    if (!question(padded, name, type, questionEnd)) return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        names_.push_back(name);
    }
    if (tcp) ++tcpQueries_;
    if (options_.mode == Mode::silent) return std::nullopt;
    Bytes message = answer(padded);
    if (options_.mode == Mode::plainAnswers) return message;

    randombytes_buf(nonce + 12, 12);
    if (options_.mode == Mode::wrongNonce) nonce[0] ^= 0xff;
    auto seal = [&](const Bytes &plain) {
        Bytes body = plain;
        body.push_back(0x80);
        body.resize((body.size() + 63) / 64 * 64, 0);
        const std::size_t start = 8 + 24;
        Bytes out(start + 16 + body.size());
        std::memcpy(out.data(), resolverMagic, 8);
        std::memcpy(out.data() + 8, nonce, 24);
        if (xchacha)
            crypto_box_curve25519xchacha20poly1305_easy_afternm(
                out.data() + start, body.data(), body.size(), nonce, sharedKey.data());
        else
            crypto_box_easy_afternm(out.data() + start, body.data(), body.size(), nonce,
                                    sharedKey.data());
        return out;
    };
    Bytes sealed = seal(message);
    // Over UDP an answer may not be larger than the question that asked for it.
    if (!tcp && sealed.size() > packet.size()) {
        Bytes truncated(message.begin(), message.begin() + questionEnd);
        truncated[2] |= 0x02;
        truncated[6] = truncated[7] = 0;
        sealed = seal(truncated);
    }
    if (options_.mode == Mode::tampered) sealed[sealed.size() / 2] ^= 0x40;
    return sealed;
}

std::optional<Bytes> TestResolver::handle(const Bytes &packet, bool tcp) {
    if (packet.size() >= 8 + 32 + 12 + 16 + 64) {
        const auto magic = clientMagic();
        if (std::equal(magic.begin(), magic.end(), packet.begin()))
            return handleEncrypted(packet, tcp);
    }
    std::string name;
    std::uint16_t type = 0;
    std::size_t end = 0;
    if (!question(packet, name, type, end) || name != options_.providerName || type != 16)
        return std::nullopt;
    ++certificateRequests_;
    Bytes certificate;
    {
        std::lock_guard lock(mutex_);
        certificate = certificate_;
    }
    Bytes text = {static_cast<std::uint8_t>(certificate.size())};
    text.insert(text.end(), certificate.begin(), certificate.end());
    return response(packet, end, 0, {record(16, 3600, text)});
}

void TestResolver::serve() {
    std::vector<std::uint8_t> buffer(65536);
    while (true) {
        pollfd entries[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(entries, 3, -1) < 0) continue;
        if (entries[2].revents) return;
        if (entries[0].revents) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const ssize_t received = recvfrom(udp_, buffer.data(), buffer.size(), 0,
                                              reinterpret_cast<sockaddr *>(&peer), &length);
            if (received > 0) {
                if (auto reply = handle(Bytes(buffer.begin(), buffer.begin() + received), false))
                    sendto(udp_, reply->data(), reply->size(), 0,
                           reinterpret_cast<sockaddr *>(&peer), length);
            }
        }
        if (entries[1].revents) {
            const int client = accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            timeval timeout{2, 0};
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            Bytes input;
            while (true) {
                const ssize_t received = recv(client, buffer.data(), buffer.size(), 0);
                if (received <= 0) break;
                input.insert(input.end(), buffer.begin(), buffer.begin() + received);
                if (input.size() >= 2 && input.size() >= 2u + ((input[0] << 8) | input[1])) break;
            }
            if (input.size() >= 2 && input.size() >= 2u + ((input[0] << 8) | input[1])) {
                const Bytes packet(input.begin() + 2,
                                   input.begin() + 2 + ((input[0] << 8) | input[1]));
                if (auto reply = handle(packet, true)) {
                    Bytes framed;
                    put16(framed, static_cast<std::uint16_t>(reply->size()));
                    framed.insert(framed.end(), reply->begin(), reply->end());
                    send(client, framed.data(), framed.size(), MSG_NOSIGNAL);
                }
            }
            close(client);
        }
    }
}

}  // namespace orvix::testing
