#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>

#include "TestSupport.hpp"

namespace orvix::testing {

// What a user could lose or notice: the type and permission bits, and the content or link
// target, of every item of a tree.
struct ItemState {
    mode_t mode = 0;
    std::string content;
    friend bool operator==(const ItemState &, const ItemState &) = default;
};

inline void PrintTo(const ItemState &item, std::ostream *out) {
    *out << "mode " << std::oct << item.mode << std::dec << " content \"" << item.content << "\"";
}

using TreeState = std::map<std::string, ItemState>;

inline TreeState treeState(const std::filesystem::path &root) {
    TreeState state;
    auto add = [&](const std::filesystem::path &path, const std::string &relative) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("lstat " + path.string());
        std::string content;
        if (S_ISREG(info.st_mode)) content = readFile(path);
        if (S_ISLNK(info.st_mode)) content = std::filesystem::read_symlink(path).string();
        state[relative] = {info.st_mode, content};
    };
    add(root, "");
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
        add(entry.path(), entry.path().lexically_relative(root).string());
    return state;
}

}  // namespace orvix::testing
