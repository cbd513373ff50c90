#include "NetworkManagerPreferences.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orvix {

namespace {

// Runs the program with `arguments` and returns what it printed, or none when it could not be
// started or did not exit with 0. Its standard error goes to the null device.
std::optional<std::string> run(const std::string &program,
                               const std::vector<std::string> &arguments) {
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(output[0]);
        ::close(output[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        // The service holds SIGTERM and SIGINT for itself; nmcli gets them back.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(output[1]);
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(output[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(output[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

std::vector<std::string> outputLines(const std::string &text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::vector<std::string> commaList(const std::string &text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(start, end - start);
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        if (!item.empty()) result.push_back(item);
        start = end + 1;
    }
    return result;
}

bool isIPv4(const std::string &address) {
    in_addr parsed{};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

std::string joined(const std::vector<std::string> &items) {
    std::string text;
    for (const auto &item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

}  // namespace

NetworkManagerPreferences::NetworkManagerPreferences(std::string program,
                                                     std::filesystem::path lockFile)
    : program_(std::move(program)), lock_(std::move(lockFile)) {}

bool NetworkManagerPreferences::isRunning(const std::string &program) {
    const auto output = run(program, {"-t", "-f", "RUNNING", "general"});
    return output && outputLines(*output) == std::vector<std::string>{"running"};
}

std::vector<std::string> NetworkManagerPreferences::terseFields(const std::string &line) {
    std::vector<std::string> fields(1);
    for (std::size_t index = 0; index < line.size(); ++index) {
        if (line[index] == '\\' && index + 1 < line.size()) {
            fields.back() += line[++index];
        } else if (line[index] == ':') {
            fields.emplace_back();
        } else {
            fields.back() += line[index];
        }
    }
    return fields;
}

std::optional<std::vector<NetworkManagerPreferences::Connection>>
NetworkManagerPreferences::connections(bool activeOnly) const {
    std::vector<std::string> arguments{"-t", "-f", "UUID,NAME,TYPE,DEVICE", "connection", "show"};
    if (activeOnly) arguments.push_back("--active");
    const auto output = run(program_, arguments);
    if (!output) return std::nullopt;
    std::vector<Connection> result;
    for (const auto &line : outputLines(*output)) {
        const auto fields = terseFields(line);
        if (fields.size() != 4 || fields[0].empty()) return std::nullopt;
        // The loopback connection carries no resolvers of its own.
        if (fields[2] == "loopback") continue;
        result.push_back({{fields[0], fields[1], !fields[3].empty()}, fields[3]});
    }
    return result;
}

std::optional<std::vector<NetworkService>> NetworkManagerPreferences::services() {
    const auto active = connections(true);
    if (!active) return std::nullopt;
    std::vector<NetworkService> result;
    for (const auto &connection : *active) result.push_back(connection.service);
    return result;
}

std::optional<NetworkService> NetworkManagerPreferences::service(const std::string &identifier) {
    const auto all = connections(false);
    if (!all) return std::nullopt;
    for (const auto &connection : *all)
        if (connection.service.identifier == identifier) return connection.service;
    return std::nullopt;
}

bool NetworkManagerPreferences::hasDNS(const std::string &identifier) {
    // Every connection NetworkManager keeps has IP settings, and with them DNS settings.
    return service(identifier).has_value();
}

std::optional<DNSDictionary> NetworkManagerPreferences::dnsConfiguration(
    const std::string &identifier) {
    if (auto staged = staged_.find(identifier); staged != staged_.end()) return staged->second;
    const auto output =
        run(program_, {"-t", "-f", "ipv4.dns,ipv6.dns", "connection", "show", "uuid", identifier});
    if (!output) return std::nullopt;
    std::vector<std::string> servers;
    for (const auto &line : outputLines(*output)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const auto key = line.substr(0, colon);
        if (key != "ipv4.dns" && key != "ipv6.dns") continue;
        // The value is one field of its own, so its colons are escaped.
        const auto value = terseFields(line.substr(colon + 1));
        std::string unescaped;
        for (std::size_t index = 0; index < value.size(); ++index)
            unescaped += (index == 0 ? "" : ":") + value[index];
        for (auto &server : commaList(unescaped)) servers.push_back(std::move(server));
    }
    if (servers.empty()) return std::nullopt;
    DNSDictionary dictionary;
    dictionary.setServerAddresses(servers);
    return dictionary;
}

bool NetworkManagerPreferences::setDNSConfiguration(
    const std::string &identifier, const std::optional<DNSDictionary> &configuration) {
    if (configuration && configuration->hasServerAddresses() && !configuration->serverAddresses())
        return false;
    staged_[identifier] = configuration;
    return true;
}

bool NetworkManagerPreferences::commit() {
    for (const auto &[identifier, configuration] : staged_) {
        std::vector<std::string> ipv4, ipv6;
        const auto servers = configuration ? configuration->serverAddresses() : std::nullopt;
        for (const auto &server : servers.value_or(std::vector<std::string>{}))
            (isIPv4(server) ? ipv4 : ipv6).push_back(server);
        const char *manual = servers && !servers->empty() ? "yes" : "no";
        if (!run(program_, {"connection", "modify", "uuid", identifier, "ipv4.dns", joined(ipv4),
                            "ipv4.ignore-auto-dns", manual, "ipv6.dns", joined(ipv6),
                            "ipv6.ignore-auto-dns", manual}))
            return false;
        committed_.push_back(identifier);
    }
    staged_.clear();
    return true;
}

bool NetworkManagerPreferences::apply() {
    if (committed_.empty()) return true;
    const auto active = connections(true);
    if (!active) return false;
    for (const auto &identifier : committed_) {
        const auto found = std::find_if(active->begin(), active->end(), [&](const Connection &c) {
            return c.service.identifier == identifier;
        });
        // An inactive connection takes its settings when it is next brought up.
        if (found == active->end() || found->device.empty()) continue;
        if (!run(program_, {"device", "reapply", found->device})) return false;
    }
    committed_.clear();
    return true;
}

}  // namespace orvix
