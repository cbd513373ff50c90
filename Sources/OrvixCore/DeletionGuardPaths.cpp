#include "DeletionGuardPaths.hpp"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <vector>

namespace orvix {

PathError::PathError(Code code)
    : std::runtime_error(
          "A file-lock path is outside this app bundle. No flags were changed on that path."),
      code_(code) {}

namespace DeletionGuardPaths {

std::filesystem::path canonicalURL(const std::filesystem::path &url) {
    // A relative path names no file by itself; resolving it against the working directory
    // could land anywhere.
    if (!url.is_absolute()) throw PathError(PathError::Code::outsideBundle);
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(url.c_str(), nullptr),
                                                         &std::free);
    if (!resolved)
        throw std::filesystem::filesystem_error("realpath", url,
                                                std::error_code(errno, std::generic_category()));
    return std::filesystem::path(resolved.get());
}

std::string relativePath(const std::filesystem::path &item, const std::filesystem::path &root) {
    const auto canonicalRoot = canonicalURL(root);
    const auto canonicalItem = canonicalURL(item);
    std::vector<std::filesystem::path> rootPieces(canonicalRoot.begin(), canonicalRoot.end());
    std::vector<std::filesystem::path> itemPieces(canonicalItem.begin(), canonicalItem.end());
    if (itemPieces.size() < rootPieces.size()) throw PathError(PathError::Code::outsideBundle);
    for (std::size_t index = 0; index < rootPieces.size(); ++index)
        if (itemPieces[index].native() != rootPieces[index].native())
            throw PathError(PathError::Code::outsideBundle);
    std::string relative;
    for (std::size_t index = rootPieces.size(); index < itemPieces.size(); ++index) {
        if (!relative.empty()) relative += '/';
        relative += itemPieces[index].string();
    }
    return relative;
}

}  // namespace DeletionGuardPaths

}  // namespace orvix
