#include "DeletionGuardRecord.hpp"

#include <cerrno>
#include <system_error>

#include "TextRepair.hpp"

namespace orvix {

namespace {

void requireUTF8(const std::string &text) {
    if (repairedUTF8(text) != text)
        throw std::system_error(EILSEQ, std::generic_category(),
                                "A file-lock path is not valid UTF-8: " + repairedUTF8(text));
}

}  // namespace

bool DeletionGuardRecord::isSafeRelativePath(std::string_view path) {
    if (path.empty()) return true;
    if (path.front() == '/' || path.find('\\') != std::string_view::npos ||
        path.find('\0') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (true) {
        std::size_t end = path.find('/', start);
        std::string_view piece = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (piece.empty() || piece == "." || piece == "..") return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

std::string DeletionGuardRecord::toJSON() const {
    requireUTF8(bundlePath);
    for (const auto &path : relativePaths) requireUTF8(path);
    nlohmann::ordered_json object;
    object["bundlePath"] = bundlePath;
    object["relativePaths"] = relativePaths;
    return JSONWrite::compact(object);
}

DeletionGuardRecord DeletionGuardRecord::fromJSON(std::string_view bytes) {
    using namespace JSONRead;
    const auto root = JSONRead::object(bytes);
    DeletionGuardRecord record;
    record.bundlePath = string(require(root, "bundlePath"), "bundlePath");
    const auto &paths = require(root, "relativePaths");
    requireArray(paths, "relativePaths");
    for (const auto &path : paths) record.relativePaths.push_back(string(path, "relativePaths"));
    return record;
}

}  // namespace orvix
