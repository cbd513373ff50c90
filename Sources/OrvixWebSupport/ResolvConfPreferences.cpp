#include "ResolvConfPreferences.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

namespace orvix {

namespace {

constexpr std::size_t maximumFileSize = 1024 * 1024;

struct Line {
    std::string text;  // with its line feed, when it had one
    std::string keyword;
    std::vector<std::string> values;
};

std::vector<Line> lines(const std::string &text) {
    std::vector<Line> result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        Line line{text.substr(start, end - start), {}, {}};
        std::istringstream words(line.text);
        std::string word;
        if (words >> word && word[0] != '#' && word[0] != ';') {
            line.keyword = word;
            while (words >> word && word[0] != '#' && word[0] != ';') line.values.push_back(word);
        }
        result.push_back(std::move(line));
        start = end;
    }
    return result;
}

bool isServer(const Line &line) {
    return line.keyword == "nameserver" && !line.values.empty();
}
bool isSearch(const Line &line) {
    return line.keyword == "search" || line.keyword == "domain";
}

// Replaces the lines that `matches` picks by `replacement`, put where the first of them was,
// or at the end when there was none.
void replaceLines(std::vector<Line> &all, bool (*matches)(const Line &),
                  const std::vector<std::string> &replacement) {
    std::optional<std::size_t> first;
    std::vector<Line> kept;
    for (auto &line : all) {
        if (matches(line)) {
            if (!first) first = kept.size();
            continue;
        }
        kept.push_back(std::move(line));
    }
    std::size_t at = first.value_or(kept.size());
    if (!first && !kept.empty() && kept.back().text.back() != '\n') kept.back().text += '\n';
    std::vector<Line> inserted;
    for (const auto &text : replacement) inserted.push_back(Line{text + "\n", {}, {}});
    kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(), inserted.end());
    all = std::move(kept);
}

}  // namespace

ResolvConfPreferences::ResolvConfPreferences(std::filesystem::path file,
                                             std::filesystem::path lockFile)
    : file_(std::move(file)), lock_(std::move(lockFile)) {}

std::optional<std::string> ResolvConfPreferences::read() const {
    const int fd = ::open(file_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? std::optional<std::string>("") : std::nullopt;
    std::string text;
    struct stat info {};
    bool good = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char chunk[16384];
    while (good) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            good = got == 0;
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > maximumFileSize) good = false;
    }
    ::close(fd);
    if (!good) return std::nullopt;
    return text;
}

std::optional<DNSDictionary> ResolvConfPreferences::parse(const std::string &text) {
    std::vector<std::string> servers;
    std::optional<std::vector<std::string>> search;
    for (const auto &line : lines(text)) {
        if (isServer(line)) servers.push_back(line.values.front());
        if (isSearch(line)) search = line.values;
    }
    if (servers.empty() && !search) return std::nullopt;
    DNSDictionary dictionary;
    if (!servers.empty()) dictionary.setServerAddresses(servers);
    if (search) dictionary.setStrings(searchDomainsKey, *search);
    return dictionary;
}

std::string ResolvConfPreferences::render(const std::string &current,
                                          const std::optional<DNSDictionary> &configuration) {
    const auto before = parse(current);
    auto all = lines(current);
    const auto servers = configuration ? configuration->serverAddresses() : std::nullopt;
    const auto search = configuration ? configuration->strings(searchDomainsKey) : std::nullopt;
    if (servers != (before ? before->serverAddresses() : std::nullopt)) {
        std::vector<std::string> replacement;
        for (const auto &server : servers.value_or(std::vector<std::string>{}))
            replacement.push_back("nameserver " + server);
        replaceLines(all, isServer, replacement);
    }
    if (search != (before ? before->strings(searchDomainsKey) : std::nullopt)) {
        std::vector<std::string> replacement;
        if (search && !search->empty()) {
            std::string line = "search";
            for (const auto &domain : *search) line += " " + domain;
            replacement.push_back(line);
        }
        replaceLines(all, isSearch, replacement);
    }
    std::string text;
    for (const auto &line : all) text += line.text;
    return text;
}

bool ResolvConfPreferences::write(const std::string &text) const {
    // The file may be a link to where a resolver manager keeps it; the link stays.
    std::error_code error;
    auto target = std::filesystem::canonical(file_, error);
    if (error) target = file_;
    struct stat info {};
    const mode_t mode = ::stat(target.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;

    std::string temporary = (target.parent_path() / ".resolv.conf.zorvane.XXXXXX").string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool good = ::fchmod(fd, mode) == 0;
    std::string_view rest = text;
    while (good && !rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        good = written > 0;
        if (good) rest.remove_prefix(static_cast<std::size_t>(written));
    }
    good = good && ::fsync(fd) == 0;
    ::close(fd);
    if (good && ::rename(temporary.c_str(), target.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

std::optional<std::vector<NetworkService>> ResolvConfPreferences::services() {
    if (!read()) return std::nullopt;
    return std::vector<NetworkService>{{file_.string(), serviceName, true}};
}

std::optional<NetworkService> ResolvConfPreferences::service(const std::string &identifier) {
    if (identifier != file_.string()) return std::nullopt;
    return NetworkService{file_.string(), serviceName, true};
}

bool ResolvConfPreferences::hasDNS(const std::string &identifier) {
    return identifier == file_.string();
}

std::optional<DNSDictionary> ResolvConfPreferences::dnsConfiguration(
    const std::string &identifier) {
    if (identifier != file_.string()) return std::nullopt;
    if (staged_) return *staged_;
    const auto text = read();
    return text ? parse(*text) : std::nullopt;
}

bool ResolvConfPreferences::setDNSConfiguration(const std::string &identifier,
                                                const std::optional<DNSDictionary> &configuration) {
    if (identifier != file_.string()) return false;
    staged_ = configuration;
    return true;
}

bool ResolvConfPreferences::commit() {
    if (!staged_) return true;
    const auto current = read();
    if (!current) return false;
    const auto text = render(*current, *staged_);
    if (text != *current && !write(text)) return false;
    staged_.reset();
    return true;
}

}  // namespace orvix
