#include "BundleResolver.hpp"

#include <plist/plist.h>

#include <cctype>
#include <cstdlib>
#include <memory>

#include "BootFiles.hpp"

namespace orvix {

namespace {

bool hasAppExtension(const std::filesystem::path &directory) {
    const std::string name = directory.filename().string();
    // ".app" alone is a hidden name without an extension.
    if (name.size() < 5) return false;
    const std::string extension = name.substr(name.size() - 4);
    return extension[0] == '.' && std::tolower(static_cast<unsigned char>(extension[1])) == 'a' &&
           std::tolower(static_cast<unsigned char>(extension[2])) == 'p' &&
           std::tolower(static_cast<unsigned char>(extension[3])) == 'p';
}

}  // namespace

namespace {

std::optional<std::string> stringValue(plist_t dictionary, const char *key) {
    plist_t value = plist_dict_get_item(dictionary, key);
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
    char *text = nullptr;
    plist_get_string_val(value, &text);
    std::string result = text != nullptr ? text : "";
    std::free(text);
    return result;
}

}  // namespace

std::optional<BundleInfo> BundleResolver::info(const std::filesystem::path &bundle) {
    std::string bytes;
    try {
        bytes = BootFiles::readBytes(bundle / "Contents" / "Info.plist");
    } catch (const std::exception &) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size())))
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    else
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;

    const std::string fileName = bundle.filename().string();
    const std::string stem =
        hasAppExtension(bundle) ? fileName.substr(0, fileName.size() - 4) : fileName;
    BundleInfo info;
    info.identifier = stringValue(root, "CFBundleIdentifier");
    auto name = stringValue(root, "CFBundleDisplayName");
    if (!name || name->empty()) name = stringValue(root, "CFBundleName");
    info.name = name && !name->empty() ? *name : stem;
    auto executable = stringValue(root, "CFBundleExecutable");
    info.executableName = executable && !executable->empty() ? *executable : stem;
    return info;
}

std::optional<std::string> BundleResolver::bundleIdentifier(const std::filesystem::path &bundle) {
    auto bundleInfo = info(bundle);
    return bundleInfo ? bundleInfo->identifier : std::nullopt;
}

const BundleResolver::Resolution &BundleResolver::resolve(const std::string &executablePath) {
    if (auto found = cache_.find(executablePath); found != cache_.end()) return found->second;

    Resolution resolution;
    std::filesystem::path directory = std::filesystem::path(executablePath).parent_path();
    while (!directory.empty() && directory != directory.root_path()) {
        if (hasAppExtension(directory)) {
            auto bundleInfo = info(directory);
            if (bundleInfo && bundleInfo->identifier)
                resolution.bundleIDs.insert(*bundleInfo->identifier);
            // The innermost bundle is the application the process belongs to, readable or not.
            if (!resolution.application) {
                const std::string fileName = directory.filename().string();
                resolution.application = ApplicationBundle{
                    directory, bundleInfo.value_or(
                                   BundleInfo{std::nullopt, fileName.substr(0, fileName.size() - 4),
                                              fileName.substr(0, fileName.size() - 4)})};
            }
        }
        directory = directory.parent_path();
    }
    if (cache_.size() > cacheLimit) cache_.clear();
    return cache_.emplace(executablePath, std::move(resolution)).first->second;
}

}  // namespace orvix
