#include "NetworkDNS.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "WebDNSPolicy.hpp"
#include "WebRootError.hpp"

namespace orvix {

namespace {

// Every exit of an operation gives the lock back.
struct Unlock {
    NetworkPreferences &preferences;
    ~Unlock() { preferences.unlock(); }
};

bool isValidUTF8(const std::string &text) {
    std::size_t index = 0;
    while (index < text.size()) {
        const auto lead = static_cast<unsigned char>(text[index]);
        std::size_t length;
        std::uint32_t point;
        if (lead < 0x80) {
            ++index;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (index + length > text.size()) return false;
        for (std::size_t next = 1; next < length; ++next) {
            const auto byte = static_cast<unsigned char>(text[index + next]);
            if ((byte & 0xC0) != 0x80) return false;
            point = (point << 6) | (byte & 0x3F);
        }
        const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        index += length;
    }
    return true;
}

// The text of a proxy configuration worth judging: a regular file below 1 MiB, valid UTF-8.
std::optional<std::string> proxyConfigurationText(const std::filesystem::path &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    constexpr std::size_t limit = 1024 * 1024;
    struct stat info {};
    std::optional<std::string> text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size < static_cast<off_t>(limit)) {
        std::string bytes;
        char chunk[16384];
        bool good = true;
        while (bytes.size() < limit) {
            const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, limit - bytes.size()));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                good = got == 0;
                break;
            }
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        if (good && isValidUTF8(bytes)) text = std::move(bytes);
    }
    ::close(fd);
    return text;
}

}  // namespace

const std::vector<std::filesystem::path> &NetworkDNS::familyProxyConfigurations() {
    static const std::vector<std::filesystem::path> paths = {
        "/usr/local/etc/dnscrypt-proxy.toml",
        "/usr/local/etc/dnscrypt-proxy/dnscrypt-proxy.toml",
        // Where Linux distributions install the proxy's configuration.
        "/etc/dnscrypt-proxy/dnscrypt-proxy.toml",
    };
    return paths;
}

NetworkDNS::NetworkDNS() : proxyConfigurations_(familyProxyConfigurations()) {
    try {
        preferences_ = NetworkPreferences::system();
    } catch (const std::exception &) {
        throw WebRootError(openFailedMessage);
    }
    if (!preferences_) throw WebRootError(openFailedMessage);
}

NetworkDNS::NetworkDNS(std::unique_ptr<NetworkPreferences> preferences,
                       std::vector<std::filesystem::path> proxyConfigurations)
    : preferences_(std::move(preferences)), proxyConfigurations_(std::move(proxyConfigurations)) {
    if (!preferences_) throw WebRootError(openFailedMessage);
}

bool NetworkDNS::knownLocalFamily() const {
    for (const auto &path : proxyConfigurations_) {
        const auto text = proxyConfigurationText(path);
        if (text && WebDNSPolicy::isKnownLocalFamily(*text)) return true;
    }
    return false;
}

bool NetworkDNS::apply(WebDNSJournal &journal, const Save &save) {
    if (!preferences_->lock()) throw WebRootError(busyMessage);
    Unlock unlock{*preferences_};

    const bool knownLocal = knownLocalFamily();
    const auto services = preferences_->services();
    if (!services) throw WebRootError(servicesUnreadableMessage);
    std::vector<NetworkService> enabled;
    for (const auto &service : *services)
        if (service.enabled) enabled.push_back(service);
    if (enabled.empty()) throw WebRootError(noServicesMessage);

    // Everything is checked and captured before anything is set, so one resolver we must not
    // override blocks the whole change.
    std::vector<std::pair<std::string, DNSDictionary>> pending;
    std::size_t configurable = 0;
    for (const auto &service : enabled) {
        if (service.identifier.empty() || !preferences_->hasDNS(service.identifier)) continue;
        ++configurable;
        const auto configuration = preferences_->dnsConfiguration(service.identifier);
        std::optional<std::vector<std::string>> current;
        if (configuration) {
            if (configuration->hasServerAddresses() && !configuration->serverAddresses())
                throw WebRootError(unsupportedMessage);
            current = configuration->serverAddresses();
        }
        const bool known = std::any_of(
            journal.backups.begin(), journal.backups.end(),
            [&](const WebDNSBackup &backup) { return backup.serviceID == service.identifier; });
        if (!known) {
            if (!WebDNSPolicy::mayReplace(current, knownLocal))
                throw WebRootError((service.name.empty() ? unnamedService : service.name) +
                                   unrecognizedSuffix);
            journal.capture(service.identifier,
                            configuration ? std::optional(configuration->binary()) : std::nullopt);
        }
        if (WebDNSPolicy::shouldRestore(current)) continue;
        DNSDictionary updated = configuration.value_or(DNSDictionary());
        updated.setServerAddresses(WebDNSPolicy::servers());
        pending.emplace_back(service.identifier, std::move(updated));
    }
    if (configurable == 0) throw WebRootError(noServicesMessage);

    save(journal);
    if (pending.empty()) return false;
    for (const auto &[identifier, configuration] : pending)
        if (!preferences_->setDNSConfiguration(identifier, configuration))
            throw WebRootError(refusedChangeMessage);
    if (!preferences_->commit() || !preferences_->apply()) throw WebRootError(notAppliedMessage);
    return true;
}

bool NetworkDNS::restore(WebDNSJournal &journal, const Save &save) {
    if (!preferences_->lock()) throw WebRootError(restoreBusyMessage);
    Unlock unlock{*preferences_};

    bool changed = false;
    for (const auto &backup : journal.backups) {
        if (!preferences_->service(backup.serviceID) || !preferences_->hasDNS(backup.serviceID))
            continue;
        const auto configuration = preferences_->dnsConfiguration(backup.serviceID);
        const auto current = configuration ? configuration->serverAddresses() : std::nullopt;
        // The user or another program changed it since: theirs stays.
        if (!WebDNSPolicy::shouldRestore(current)) continue;
        std::optional<DNSDictionary> original;
        if (backup.original) {
            original = DNSDictionary::fromBinary(*backup.original);
            if (!original) throw WebRootError(invalidRecoveryMessage);
        }
        if (!preferences_->setDNSConfiguration(backup.serviceID,
                                               restoredConfiguration(configuration, original)))
            throw WebRootError(refusedRestorationMessage);
        changed = true;
    }
    if (changed && (!preferences_->commit() || !preferences_->apply()))
        throw WebRootError(notAppliedMessage);

    WebDNSJournal emptied = journal;
    emptied.restored();
    save(emptied);
    journal = std::move(emptied);
    return changed;
}

std::optional<DNSDictionary> NetworkDNS::restoredConfiguration(
    const std::optional<DNSDictionary> &current, const std::optional<DNSDictionary> &original) {
    DNSDictionary result = current.value_or(DNSDictionary());
    if (original && original->hasServerAddresses()) {
        result.copyValue(DNSDictionary::serverAddressesKey, *original);
    } else {
        result.remove(DNSDictionary::serverAddressesKey);
    }
    if (!original && result.empty()) return std::nullopt;
    return result;
}

}  // namespace orvix
