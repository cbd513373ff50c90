#include <gtest/gtest.h>

#include "DNSMessage.hpp"
#include "ResponseCache.hpp"

namespace orvix {
namespace {

using Outcome = DNSMessage::QueryParse::Outcome;

Bytes header(std::uint16_t flags, std::uint16_t questions, std::uint16_t answers = 0,
             std::uint16_t additional = 0) {
    return {0xab,
            0xcd,
            static_cast<std::uint8_t>(flags >> 8),
            static_cast<std::uint8_t>(flags),
            0,
            static_cast<std::uint8_t>(questions),
            0,
            static_cast<std::uint8_t>(answers),
            0,
            0,
            0,
            static_cast<std::uint8_t>(additional)};
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const auto &part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

const Bytes exampleName = {3,   'W', 'w', 'W', 7,   'e', 'x', 'a', 'm',
                           'p', 'l', 'e', 4,   't', 'e', 's', 't', 0};
const Bytes typeAClassIN = {0, 1, 0, 1};
const Bytes opt4096 = {0, 0, 41, 0x10, 0x00, 0, 0, 0, 0, 0, 0};

TEST(DNSMessage, ReadsAStandardQuery) {
    const auto parse =
        DNSMessage::parseQuery(join({header(0x0100, 1, 0, 1), exampleName, typeAClassIN, opt4096}));
    ASSERT_EQ(parse.outcome, Outcome::query);
    EXPECT_EQ(parse.query.id, 0xabcd);
    EXPECT_EQ(parse.query.name, "www.example.test");
    EXPECT_EQ(parse.query.type, 1);
    EXPECT_EQ(parse.query.question, join({exampleName, typeAClassIN}));
    EXPECT_EQ(parse.query.optRecord, opt4096);
    EXPECT_EQ(parse.query.udpSize, 4096u);

    const Bytes upstream = DNSMessage::upstreamQuery(parse.query, 0x1111);
    EXPECT_EQ(upstream, join({{0x11, 0x11, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 1},
                              exampleName,
                              typeAClassIN,
                              opt4096}));
}

TEST(DNSMessage, QueriesThatCannotBeForwardedSafely) {
    struct Case {
        const char *name;
        Bytes message;
        Outcome outcome;
        int code;  // of the reply, when there is one
    };
    const Bytes name = exampleName;
    const std::vector<Case> cases = {
        {"empty", {}, Outcome::ignore, 0},
        {"short header", Bytes(11, 0), Outcome::ignore, 0},
        {"a response", join({header(0x8100, 1), name, typeAClassIN}), Outcome::ignore, 0},
        {"another opcode", join({header(0x2100, 1), name, typeAClassIN}), Outcome::reply, 4},
        {"no question", header(0x0100, 0), Outcome::reply, 1},
        {"two questions", join({header(0x0100, 2), name, typeAClassIN, name, typeAClassIN}),
         Outcome::reply, 1},
        {"answers in a query", join({header(0x0100, 1, 1), name, typeAClassIN}), Outcome::reply, 1},
        {"name runs past the end", join({header(0x0100, 1), {9, 'a', 'b'}}), Outcome::reply, 1},
        {"no type and class", join({header(0x0100, 1), name}), Outcome::reply, 1},
        {"compressed question", join({header(0x0100, 1), {0xc0, 0x0c}, typeAClassIN}),
         Outcome::reply, 1},
        {"dot inside a label",
         join({header(0x0100, 1), {7, 'a', '.', 't', 'e', 's', 't', 'x', 0}, typeAClassIN}),
         Outcome::reply, 1},
        {"extended label type", join({header(0x0100, 1), {0x41, 'a', 0}, typeAClassIN}),
         Outcome::reply, 1},
        {"name longer than 255 bytes",
         [] {
             Bytes long_ = header(0x0100, 1);
             for (int i = 0; i < 5; ++i) {
                 long_.push_back(63);
                 long_.insert(long_.end(), 63, 'a');
             }
             long_.push_back(0);
             long_.insert(long_.end(), {0, 1, 0, 1});
             return long_;
         }(),
         Outcome::reply, 1},
        {"trailing bytes", join({header(0x0100, 1), name, typeAClassIN, {0}}), Outcome::reply, 1},
        {"two EDNS records", join({header(0x0100, 1, 0, 2), name, typeAClassIN, opt4096, opt4096}),
         Outcome::reply, 1},
        {"EDNS record with a name",
         join({header(0x0100, 1, 0, 1),
               name,
               typeAClassIN,
               {1, 'x', 0, 0, 41, 16, 0, 0, 0, 0, 0, 0, 0}}),
         Outcome::reply, 1},
        {"additional record runs past the end",
         join({header(0x0100, 1, 0, 1), name, typeAClassIN, {0, 0, 41, 16, 0, 0, 0, 0, 0, 0, 9}}),
         Outcome::reply, 1},
    };
    for (const auto &[label, message, outcome, code] : cases) {
        SCOPED_TRACE(label);
        const auto parse = DNSMessage::parseQuery(message);
        EXPECT_EQ(parse.outcome, outcome);
        if (outcome == Outcome::reply) {
            ASSERT_EQ(parse.reply.size(), 12u);
            EXPECT_EQ(parse.reply[0], 0xab);
            EXPECT_EQ(parse.reply[2] & 0x80, 0x80);
            EXPECT_EQ(parse.reply[3] & 0x0f, code);
        }
    }
}

Bytes answerRecord(std::uint32_t ttl) {
    return {0xc0,
            0x0c,
            0,
            1,
            0,
            1,
            static_cast<std::uint8_t>(ttl >> 24),
            static_cast<std::uint8_t>(ttl >> 16),
            static_cast<std::uint8_t>(ttl >> 8),
            static_cast<std::uint8_t>(ttl),
            0,
            4,
            192,
            0,
            2,
            1};
}

TEST(DNSMessage, ResponsesMustMatchTheQuestionAndParseCompletely) {
    const Bytes question = join({exampleName, typeAClassIN});
    const Bytes good = join({header(0x8180, 1, 2), question, answerRecord(300), answerRecord(60)});
    const auto response = DNSMessage::parseResponse(good, 0xabcd, "www.example.test", 1, 1);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->minimumTTL, 60u);
    EXPECT_EQ(response->ttlOffsets, (std::vector<std::size_t>{12 + 22 + 6, 12 + 22 + 16 + 6}));

    struct Case {
        const char *name;
        Bytes message;
        std::uint16_t id;
        std::string questionName;
    };
    Bytes loop = good;
    loop[34] = 0xc0;  // the first record's owner points at itself
    loop[35] = 34;
    Bytes forward = good;
    forward[35] = 40;  // a pointer that points ahead
    const std::vector<Case> cases = {
        {"another id", good, 0xabce, "www.example.test"},
        {"another name", good, 0xabcd, "www.example.org"},
        {"not a response",
         join({header(0x0180, 1, 2), question, answerRecord(300), answerRecord(60)}), 0xabcd,
         "www.example.test"},
        {"fewer records than counted", join({header(0x8180, 1, 3), question, answerRecord(300)}),
         0xabcd, "www.example.test"},
        {"record data past the end",
         [&] {
             Bytes cut = good;
             cut.pop_back();
             return cut;
         }(),
         0xabcd, "www.example.test"},
        {"trailing bytes", join({good, {0}}), 0xabcd, "www.example.test"},
        {"pointer loop", loop, 0xabcd, "www.example.test"},
        // A cached copy gets new TTLs and a new id: no name may be made of those bytes.
        {"name read from a TTL",
         join({header(0x8180, 1, 2),
               question,
               answerRecord(300),
               {0xc0, 40, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 1}}),
         0xabcd, "www.example.test"},
        {"name read from the header",
         join({header(0x8180, 1, 1),
               question,
               {0xc0, 4, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 1}}),
         0xabcd, "www.example.test"},
        {"pointer ahead", forward, 0xabcd, "www.example.test"},
    };
    for (const auto &[label, message, id, name] : cases) {
        SCOPED_TRACE(label);
        EXPECT_FALSE(DNSMessage::parseResponse(message, id, name, 1, 1));
    }
}

TEST(ResponseCache, HandsOutAgedCopiesUntilTheSmallestTTLRunsOut) {
    const Bytes question = join({exampleName, typeAClassIN});
    const Bytes message =
        join({header(0x8180, 1, 2), question, answerRecord(300), answerRecord(60)});
    const auto query = DNSMessage::parseQuery(join({header(0x0100, 1), question})).query;
    const auto response = DNSMessage::parseResponse(message, 0xabcd, query.name, 1, 1);
    ASSERT_TRUE(response);
    ResponseCache cache;
    cache.store(query, message, *response, 1000.0);

    Bytes lower =
        join({{0x00, 0x07, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0},
              {3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 4, 't', 'e', 's', 't', 0},
              typeAClassIN});
    const auto other = DNSMessage::parseQuery(lower).query;
    const auto copy = cache.lookup(other, 1010.5);
    ASSERT_TRUE(copy);
    EXPECT_EQ((*copy)[0], 0x00);
    EXPECT_EQ((*copy)[1], 0x07);
    EXPECT_EQ(Bytes(copy->begin() + 12, copy->begin() + 12 + other.question.size()),
              other.question);
    EXPECT_EQ(DNSMessage::readU32(*copy, response->ttlOffsets[0]), 290u);
    EXPECT_EQ(DNSMessage::readU32(*copy, response->ttlOffsets[1]), 50u);
    EXPECT_FALSE(cache.lookup(other, 1060.0));
    EXPECT_EQ(cache.size(), 0u);
}

TEST(ResponseCache, KeepsNothingThatCannotBeReused) {
    const Bytes question = join({exampleName, typeAClassIN});
    const auto query = DNSMessage::parseQuery(join({header(0x0100, 1), question})).query;
    const std::vector<Bytes> messages = {
        join({header(0x8182, 1, 1), question, answerRecord(300)}),  // server failure
        join({header(0x8180, 1, 1), question, answerRecord(0)}),    // TTL 0
        join({header(0x8180, 1, 0), question}),                     // no records to time it
    };
    ResponseCache cache;
    for (const auto &message : messages) {
        const auto response = DNSMessage::parseResponse(message, 0xabcd, query.name, 1, 1);
        ASSERT_TRUE(response);
        cache.store(query, message, *response, 0.0);
    }
    EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
}  // namespace orvix
