#pragma once

#include <string>
#include <vector>

#include "WebProtection.hpp"

namespace orvix {

// The two input files of the local DNSCrypt proxy. The configuration is closed: one server of
// the provider, no fallback or bootstrap resolvers, no network probe, the system's DNS
// ignored. When the provider cannot be reached nothing resolves; nothing unfiltered takes over.
namespace DNSCryptConfiguration {

// The proxy release and archive this configuration is written for.
inline constexpr const char *version = "2.1.20";
inline constexpr const char *archiveSHA256 =
    "0a93a115c3cb2b0d2ec2d1c8ce6e9005d6a842710a6a1972c2ebe39afd272f1f";

// The provider's published DNSCrypt stamps (DNSSEC, no logs; resolver on port 8443).
inline constexpr const char *familyStamp =
    "sdns://AQMAAAAAAAAAFDE4NS4yMjguMTY4LjE2ODo4NDQzILysMvrVQ2kXHwgy1gdQJ8MgjO7w6OmflBjcd2Bl1I8pEWN"
    "sZWFuYnJvd3Npbmcub3Jn";
inline constexpr const char *adultStamp =
    "sdns://AQMAAAAAAAAAEzE4NS4yMjguMTY4LjEwOjg0NDMgvKwy-tVDaRcfCDLWB1AnwyCM7vDo6Z-UGNx3YGXUjykRY2x"
    "lYW5icm93c2luZy5vcmc";

inline constexpr const char *invalidDirectoryMessage = "Invalid proxy configuration directory.";

// The configuration text for a proxy whose block list lies in `directory`. Throws
// WebProtectionError when the directory would break out of the quoted string that holds it.
std::string text(const std::string &directory, WebsiteContentFilter filter);

// The block list: one domain per line, every line ended by a line feed.
std::string blockedNames(const std::vector<std::string> &domains);

}  // namespace DNSCryptConfiguration

}  // namespace orvix
