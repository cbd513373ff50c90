// libFuzzer target for everything the proxy reads from the network: client queries, resolver
// answers (also after a round through the cache), certificates, stamps and sealed packets.
// Besides crashes it traps on broken promises: a query that reads differently once forwarded,
// a blocked name that slips through, a cached copy that no longer parses.
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "BlockList.hpp"
#include "DNSCryptCertificate.hpp"
#include "DNSCryptSession.hpp"
#include "DNSMessage.hpp"
#include "DNSStamp.hpp"
#include "ResponseCache.hpp"

namespace {

using namespace orvix;

struct Fixture {
    BlockList blockList = BlockList::parse("blocked.test\n");
    std::array<std::uint8_t, 32> providerKey{};
    std::unique_ptr<DNSCryptSession> session;

    Fixture() {
        if (sodium_init() < 0) __builtin_trap();
        std::uint8_t secret[crypto_sign_SECRETKEYBYTES];
        crypto_sign_seed_keypair(
            providerKey.data(), secret,
            reinterpret_cast<const unsigned char *>("zorvane fuzzing provider seed!!!"));
        DNSCryptCertificate certificate;
        certificate.esVersion = DNSCryptCertificate::xchacha20Poly1305;
        certificate.resolverKey.fill(0x42);
        session = std::make_unique<DNSCryptSession>(certificate);
    }
};

bool endsWith(const std::string &name, const std::string &suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static Fixture fixture;
    const std::span<const std::uint8_t> bytes(data, size);

    const auto parse = DNSMessage::parseQuery(bytes);
    if (parse.outcome == DNSMessage::QueryParse::Outcome::query) {
        const auto &query = parse.query;
        const bool blocked = fixture.blockList.blocks(query.name);
        if ((query.name == "blocked.test" || endsWith(query.name, ".blocked.test")) != blocked)
            __builtin_trap();
        const Bytes upstream = DNSMessage::upstreamQuery(query, 0x4242);
        const auto again = DNSMessage::parseQuery(upstream);
        if (again.outcome != DNSMessage::QueryParse::Outcome::query ||
            again.query.name != query.name || again.query.type != query.type)
            __builtin_trap();
        const Bytes refusal = DNSMessage::reply(query, DNSMessage::refused);
        if (!DNSMessage::parseResponse(refusal, query.id, query.name, query.type,
                                       query.questionClass))
            __builtin_trap();
    }

    // The same bytes as an answer to "www.example.test" A, stored and handed out again.
    if (size >= 2) {
        const std::uint16_t id = DNSMessage::readU16(bytes, 0);
        const Bytes asked = {0, 0,   1,   0,   0,   1,   0,   0,   0,   0,   0,   0,
                             3, 'w', 'w', 'w', 7,   'e', 'x', 'a', 'm', 'p', 'l', 'e',
                             4, 't', 'e', 's', 't', 0,   0,   1,   0,   1};
        const auto query = DNSMessage::parseQuery(asked).query;
        const auto response = DNSMessage::parseResponse(bytes, id, query.name, 1, 1);
        if (response && !response->truncated) {
            ResponseCache cache;
            const Bytes message(bytes.begin(), bytes.end());
            cache.store(query, message, *response, 0);
            if (const auto copy = cache.lookup(query, 1))
                if (!DNSMessage::parseResponse(*copy, 0, query.name, 1, 1)) __builtin_trap();
        }
        DNSMessage::parseResponse(bytes, id, "blocked.test", DNSMessage::typeTXT,
                                  DNSMessage::classIN);
    }

    DNSCryptCertificate::parse(bytes, fixture.providerKey, 1'800'000'000);
    DNSStamp::parse(std::string(bytes.begin(), bytes.end()));
    DNSCryptSession::Nonce nonce{};
    if (size >= 20) std::memcpy(nonce.data(), data + 8, nonce.size());
    fixture.session->open(bytes, nonce);
    return 0;
}
