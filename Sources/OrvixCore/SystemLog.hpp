#pragma once

#include <string>
#include <string_view>

namespace orvix {

// Zorvane's lines in the system log: ident "org.zorvane.app", each line starting with its
// category ("guardian: …").
class SystemLog {
public:
    static constexpr const char *ident = "org.zorvane.app";

    explicit SystemLog(std::string category) : category_(std::move(category)) {}

    void notice(std::string_view message) const;
    void error(std::string_view message) const;

private:
    void write(int priority, std::string_view message) const;

    std::string category_;
};

}  // namespace orvix
