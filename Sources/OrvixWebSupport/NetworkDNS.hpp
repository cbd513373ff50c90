#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "DNSDictionary.hpp"
#include "NetworkPreferences.hpp"
#include "WebDNSJournal.hpp"

namespace orvix {

// The part of the website service that touches the machine's network configuration. `apply`
// points every enabled network service at our resolver "::1", but only after its original DNS
// is in the journal and the journal is saved, and never over a manual resolver it does not
// recognise. `restore` puts the originals back where DNS still holds "::1" and empties the
// journal only when that is done. A crash at any point leaves the old DNS with a journal, the
// new DNS with a journal, or the old DNS without one.
class NetworkDNS {
public:
    using Save = std::function<void(const WebDNSJournal &)>;

    static constexpr const char *openFailedMessage = "Could not open network preferences.";
    static constexpr const char *busyMessage = "Network preferences are busy.";
    static constexpr const char *restoreBusyMessage =
        "Network preferences are busy; DNS restoration will retry.";
    static constexpr const char *servicesUnreadableMessage =
        "Could not read current network services.";
    static constexpr const char *noServicesMessage = "No configurable network services were found.";
    static constexpr const char *unsupportedMessage =
        "A network service has an unsupported manual DNS configuration; it was left unchanged.";
    static constexpr const char *unrecognizedSuffix =
        " uses an unrecognized manual resolver. DNS was left unchanged; keep app blocking "
        "separate or review that resolver first.";
    static constexpr const char *unnamedService = "A network service";
    static constexpr const char *refusedChangeMessage =
        "A network service refused DNS changes. Saved DNS is available for recovery.";
    static constexpr const char *notAppliedMessage =
        "macOS could not apply DNS changes. Saved DNS has been retained for recovery.";
    static constexpr const char *invalidRecoveryMessage =
        "Saved DNS recovery data is invalid; it has been preserved.";
    static constexpr const char *refusedRestorationMessage =
        "A network service refused DNS restoration. Use Remove protection again.";

    // Where a user's own DNSCrypt proxy keeps its configuration.
    static const std::vector<std::filesystem::path> &familyProxyConfigurations();

    // The machine's own store; throws WebRootError when it cannot be opened.
    NetworkDNS();
    explicit NetworkDNS(
        std::unique_ptr<NetworkPreferences> preferences,
        std::vector<std::filesystem::path> proxyConfigurations = familyProxyConfigurations());

    // Returns whether any DNS setting changed; throws WebRootError, or what `save` throws.
    bool apply(WebDNSJournal &journal, const Save &save);
    bool restore(WebDNSJournal &journal, const Save &save);

    // What goes back: the current dictionary with the original's resolver list (or none);
    // none when nothing was there before and nothing is left.
    static std::optional<DNSDictionary> restoredConfiguration(
        const std::optional<DNSDictionary> &current, const std::optional<DNSDictionary> &original);

private:
    bool knownLocalFamily() const;

    std::unique_ptr<NetworkPreferences> preferences_;
    std::vector<std::filesystem::path> proxyConfigurations_;
};

}  // namespace orvix
