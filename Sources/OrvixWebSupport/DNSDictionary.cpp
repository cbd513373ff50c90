#include "DNSDictionary.hpp"

#include <cstdlib>
#include <utility>

namespace orvix {

DNSDictionary::DNSDictionary() : node_(plist_new_dict()) {}
DNSDictionary::DNSDictionary(const DNSDictionary &other) : node_(plist_copy(other.node_)) {}
DNSDictionary::DNSDictionary(DNSDictionary &&other) noexcept
    : node_(std::exchange(other.node_, plist_new_dict())) {}
DNSDictionary &DNSDictionary::operator=(DNSDictionary other) noexcept {
    std::swap(node_, other.node_);
    return *this;
}
DNSDictionary::~DNSDictionary() {
    plist_free(node_);
}

std::optional<DNSDictionary> DNSDictionary::fromBinary(const std::vector<std::uint8_t> &bytes) {
    if (bytes.empty()) return std::nullopt;
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()), &node);
    if (node == nullptr) return std::nullopt;
    if (plist_get_node_type(node) != PLIST_DICT) {
        plist_free(node);
        return std::nullopt;
    }
    return DNSDictionary(node);
}

std::vector<std::uint8_t> DNSDictionary::binary() const {
    char *bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node_, &bytes, &length);
    std::vector<std::uint8_t> result(bytes, bytes + length);
    std::free(bytes);
    return result;
}

bool DNSDictionary::empty() const {
    return plist_dict_get_size(node_) == 0;
}

bool DNSDictionary::contains(const std::string &key) const {
    return plist_dict_get_item(node_, key.c_str()) != nullptr;
}

std::optional<std::vector<std::string>> DNSDictionary::strings(const std::string &key) const {
    plist_t list = plist_dict_get_item(node_, key.c_str());
    if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY) return std::nullopt;
    std::vector<std::string> values;
    for (std::uint32_t index = 0; index < plist_array_get_size(list); ++index) {
        plist_t item = plist_array_get_item(list, index);
        if (plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
        char *text = nullptr;
        plist_get_string_val(item, &text);
        values.emplace_back(text != nullptr ? text : "");
        std::free(text);
    }
    return values;
}

void DNSDictionary::setStrings(const std::string &key, const std::vector<std::string> &values) {
    plist_t list = plist_new_array();
    for (const auto &value : values) plist_array_append_item(list, plist_new_string(value.c_str()));
    plist_dict_set_item(node_, key.c_str(), list);
}

void DNSDictionary::remove(const std::string &key) {
    if (contains(key)) plist_dict_remove_item(node_, key.c_str());
}

namespace {

std::vector<char> serialised(plist_t node) {
    char *bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    std::vector<char> result(bytes, bytes + length);
    std::free(bytes);
    return result;
}

}  // namespace

bool operator==(const DNSDictionary &left, const DNSDictionary &right) {
    if (plist_dict_get_size(left.node_) != plist_dict_get_size(right.node_)) return false;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(left.node_, &iterator);
    bool same = true;
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(left.node_, iterator, &key, &value);
        if (key == nullptr) break;
        plist_t other = plist_dict_get_item(right.node_, key);
        std::free(key);
        if (other == nullptr || serialised(value) != serialised(other)) {
            same = false;
            break;
        }
    }
    std::free(iterator);
    return same;
}

std::string DNSDictionary::description() const {
    char *text = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node_, &text, &length);
    std::string result(text, length);
    std::free(text);
    return result;
}

void DNSDictionary::copyValue(const std::string &key, const DNSDictionary &source) {
    plist_t value = plist_dict_get_item(source.node_, key.c_str());
    if (value == nullptr)
        remove(key);
    else
        plist_dict_set_item(node_, key.c_str(), plist_copy(value));
}

}  // namespace orvix
