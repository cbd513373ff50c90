#include "DNSProxy.hpp"

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <system_error>

#include "ProxyError.hpp"

namespace orvix {

namespace {

constexpr std::size_t maximumExchanges = 4096;
constexpr std::size_t maximumClients = 256;
constexpr std::size_t maximumClientOutput = 1024 * 1024;
constexpr double clientIdleTimeout = 10;
constexpr std::size_t maximumQuerySize = 4096;
constexpr std::size_t receiveBufferSize = 65536;
constexpr double maximumRetryDelay = 60;

volatile std::sig_atomic_t terminationRequested = 0;

void requestTermination(int) {
    terminationRequested = 1;
}

double steadyNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::system_error systemError(const std::string &what) {
    return std::system_error(errno, std::generic_category(), what);
}

std::uint16_t randomID() {
    return static_cast<std::uint16_t>(randombytes_uniform(65536));
}

std::string lowered(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

DNSProxy::DNSProxy(ProxyConfiguration configuration, BlockList blockList, Timing timing)
    : configuration_(std::move(configuration)),
      blockList_(std::move(blockList)),
      timing_(timing),
      providerName_(lowered(configuration_.stamp.providerName)),
      retryDelay_(timing.certificateRetry),
      buffer_(receiveBufferSize) {}

DNSProxy::~DNSProxy() {
    for (int socket : udpListeners_) close(socket);
    for (int socket : tcpListeners_) close(socket);
    for (const auto &[socket, client] : clients_) close(socket);
    for (const auto &[socket, exchange] : exchanges_) close(socket);
}

void DNSProxy::listen() {
    const int on = 1;
    for (const auto &address : configuration_.listenAddresses) {
        const int family = address.address.ss_family;
        for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
            const int descriptor = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (descriptor < 0) throw systemError("socket for " + address.text);
            (type == SOCK_DGRAM ? udpListeners_ : tcpListeners_).push_back(descriptor);
            if (family == AF_INET6)
                setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            if (type == SOCK_STREAM)
                setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (bind(descriptor, reinterpret_cast<const sockaddr *>(&address.address),
                     address.length) != 0)
                throw systemError("cannot listen on " + address.text);
            if (type == SOCK_STREAM && ::listen(descriptor, 128) != 0)
                throw systemError("cannot listen on " + address.text);
        }
    }
}

void DNSProxy::dropPrivileges() {
    if (!configuration_.userName) return;
    const std::string &name = *configuration_.userName;
    errno = 0;
    const passwd *account = getpwnam(name.c_str());
    if (account == nullptr)
        throw ProxyError("The account named in user_name does not exist: " + name + ".");
    const uid_t uid = account->pw_uid;
    const gid_t gid = account->pw_gid;
    if (getuid() == uid && geteuid() == uid) return;
    if (geteuid() != 0)
        throw ProxyError("The proxy must be started as root to serve as " + name + ".");
    if (setgroups(1, &gid) != 0) throw systemError("setgroups");
    if (setresgid(gid, gid, gid) != 0) throw systemError("setresgid");
    if (setresuid(uid, uid, uid) != 0) throw systemError("setresuid");
    // Once dropped, the way back must be closed; a proxy that could return to root is refused.
    if (uid != 0 && (setuid(0) == 0 || seteuid(0) == 0))
        throw ProxyError("The proxy could not give up root.");
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

int DNSProxy::upstreamSocket(int type) {
    const auto &stamp = configuration_.stamp;
    const int descriptor =
        socket(stamp.socketAddress.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return -1;
    if (connect(descriptor, reinterpret_cast<const sockaddr *>(&stamp.socketAddress),
                stamp.socketAddressLength) != 0 &&
        errno != EINPROGRESS) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

std::optional<Bytes> DNSProxy::exchangePlain(const Bytes &query, bool tcp, double timeout) {
    const int descriptor = upstreamSocket(tcp ? SOCK_STREAM : SOCK_DGRAM);
    if (descriptor < 0) return std::nullopt;
    const double deadline = steadyNow() + timeout;
    Bytes output = query;
    if (tcp) {
        output.insert(output.begin(), {static_cast<std::uint8_t>(query.size() >> 8),
                                       static_cast<std::uint8_t>(query.size())});
    }
    std::size_t written = 0;
    Bytes input;
    std::optional<Bytes> result;
    while (!result) {
        const double left = deadline - steadyNow();
        if (left <= 0) break;
        pollfd entry{descriptor, static_cast<short>(written < output.size() ? POLLOUT : POLLIN), 0};
        if (poll(&entry, 1, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
        if (entry.revents & POLLOUT) {
            const ssize_t sent =
                ::send(descriptor, output.data() + written, output.size() - written, MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EINTR) break;
            if (sent > 0) written += static_cast<std::size_t>(sent);
            // A datagram goes in one piece or not at all.
            if (!tcp && sent > 0 && written != output.size()) break;
        } else if (entry.revents & (POLLIN | POLLERR | POLLHUP)) {
            const ssize_t received = recv(descriptor, buffer_.data(), buffer_.size(), 0);
            if (received < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (received <= 0) break;
            if (!tcp) {
                result = Bytes(buffer_.begin(), buffer_.begin() + received);
            } else {
                input.insert(input.end(), buffer_.begin(), buffer_.begin() + received);
                if (input.size() >= 2 &&
                    input.size() >= 2 + std::size_t{DNSMessage::readU16(input, 0)})
                    result =
                        Bytes(input.begin() + 2, input.begin() + 2 + DNSMessage::readU16(input, 0));
            }
        }
    }
    close(descriptor);
    return result;
}

std::shared_ptr<const DNSCryptSession> DNSProxy::fetchCertificate() {
    for (bool tcp : {false, true}) {
        const std::uint16_t id = randomID();
        const auto answer = exchangePlain(DNSMessage::textQuery(providerName_, id), tcp,
                                          timing_.certificateTimeout);
        if (!answer) continue;
        const auto response = DNSMessage::parseResponse(*answer, id, providerName_,
                                                        DNSMessage::typeTXT, DNSMessage::classIN);
        if (!response || response->truncated) continue;
        const auto certificate = DNSCryptCertificate::best(
            response->texts, configuration_.stamp.providerKey, std::time(nullptr));
        if (!certificate) return nullptr;
        try {
            return std::make_shared<const DNSCryptSession>(*certificate);
        } catch (const std::invalid_argument &) {
            return nullptr;
        }
    }
    return nullptr;
}

std::shared_ptr<const DNSCryptSession> DNSProxy::currentSession(double now) {
    const bool stale = !session_ || now - sessionFetchedAt_ >= timing_.certificateRefresh ||
                       !session_->certificate().validAt(std::time(nullptr));
    // A fetch holds up the loop for up to two time-outs, so failed fetches are spaced further
    // and further apart while the resolver stays away.
    if (stale && (!lastFetchAttempt_ || now - *lastFetchAttempt_ >= retryDelay_)) {
        lastFetchAttempt_ = now;
        if (auto fetched = fetchCertificate()) {
            session_ = std::move(fetched);
            sessionFetchedAt_ = steadyNow();
            lastFetchAttempt_.reset();
            retryDelay_ = timing_.certificateRetry;
        } else {
            retryDelay_ = std::min(retryDelay_ * 2, maximumRetryDelay);
        }
    }
    // An old certificate serves on while a refresh fails, but never past its own validity.
    if (session_ && !session_->certificate().validAt(std::time(nullptr))) session_.reset();
    return session_;
}

void DNSProxy::send(const Destination &destination, const DNSMessage::Query *query, Bytes message) {
    if (destination.udpSocket >= 0) {
        if (query && message.size() > query->udpSize)
            message = DNSMessage::reply(*query, DNSMessage::noError, true);
        sendto(destination.udpSocket, message.data(), message.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr *>(&destination.peer), destination.peerLength);
        return;
    }
    const auto found = clients_.find(destination.tcpClient);
    if (found == clients_.end() || found->second.serial != destination.tcpSerial) return;
    TCPClient &client = found->second;
    if (client.output.size() + message.size() > maximumClientOutput) {
        closeClient(destination.tcpClient);
        return;
    }
    client.output.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    client.output.push_back(static_cast<std::uint8_t>(message.size()));
    client.output.insert(client.output.end(), message.begin(), message.end());
}

void DNSProxy::handleMessage(std::span<const std::uint8_t> message, const Destination &destination,
                             double now) {
    auto parse = DNSMessage::parseQuery(message);
    if (parse.outcome == DNSMessage::QueryParse::Outcome::ignore) return;
    if (parse.outcome == DNSMessage::QueryParse::Outcome::reply) {
        send(destination, nullptr, std::move(parse.reply));
        return;
    }
    const DNSMessage::Query &query = parse.query;
    if (blockList_.blocks(query.name)) {
        send(destination, &query, DNSMessage::reply(query, DNSMessage::refused));
        return;
    }
    if (configuration_.cache) {
        if (auto cached = cache_.lookup(query, now)) {
            send(destination, &query, std::move(*cached));
            return;
        }
    }
    auto session = exchanges_.size() < maximumExchanges ? currentSession(now) : nullptr;
    const Bytes upstream = DNSMessage::upstreamQuery(query, randomID());
    const int descriptor =
        session && upstream.size() < maximumQuerySize ? upstreamSocket(SOCK_DGRAM) : -1;
    if (descriptor < 0) {
        send(destination, &query, DNSMessage::reply(query, DNSMessage::serverFailure));
        return;
    }
    Exchange exchange;
    exchange.destination = destination;
    exchange.query = std::move(parse.query);
    exchange.upstreamID = DNSMessage::readU16(upstream, 0);
    exchange.upstreamQuery = upstream;
    exchange.session = session;
    const auto sealed = session->seal(upstream, false, minimumQuerySize_);
    exchange.nonce = sealed.nonce;
    exchange.deadline = now + timing_.queryTimeout;
    if (::send(descriptor, sealed.packet.data(), sealed.packet.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sealed.packet.size())) {
        close(descriptor);
        send(exchange.destination, &exchange.query,
             DNSMessage::reply(exchange.query, DNSMessage::serverFailure));
        return;
    }
    exchanges_.emplace(descriptor, std::move(exchange));
}

void DNSProxy::readUDPListener(int socket, double now) {
    // A bounded batch keeps one busy client from starving the rest of the loop.
    for (int i = 0; i < 64; ++i) {
        Destination destination;
        destination.udpSocket = socket;
        destination.peerLength = sizeof destination.peer;
        const ssize_t received =
            recvfrom(socket, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                     reinterpret_cast<sockaddr *>(&destination.peer), &destination.peerLength);
        if (received < 0) return;
        const Bytes message(buffer_.begin(), buffer_.begin() + received);
        handleMessage(message, destination, now);
    }
}

void DNSProxy::acceptClient(int socket, double now) {
    const int client = accept4(socket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) return;
    if (clients_.size() >= maximumClients) {
        close(client);
        return;
    }
    TCPClient &entry = clients_[client];
    entry.serial = nextSerial_++;
    entry.lastActivity = now;
}

void DNSProxy::closeClient(int socket) {
    clients_.erase(socket);
    close(socket);
}

void DNSProxy::serviceClient(int socket, short events, double now) {
    auto found = clients_.find(socket);
    if (found == clients_.end()) return;
    if (events & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t received = recv(socket, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (received == 0 || (received < 0 && errno != EAGAIN && errno != EINTR)) {
            closeClient(socket);
            return;
        }
        if (received > 0) {
            found->second.lastActivity = now;
            found->second.input.insert(found->second.input.end(), buffer_.begin(),
                                       buffer_.begin() + received);
        }
        while (true) {
            found = clients_.find(socket);
            if (found == clients_.end()) return;
            Bytes &input = found->second.input;
            if (input.size() < 2) break;
            const std::size_t length = DNSMessage::readU16(input, 0);
            if (input.size() < 2 + length) break;
            const Bytes message(input.begin() + 2, input.begin() + 2 + length);
            input.erase(input.begin(), input.begin() + 2 + length);
            Destination destination;
            destination.tcpClient = socket;
            destination.tcpSerial = found->second.serial;
            handleMessage(message, destination, now);
        }
    }
    found = clients_.find(socket);
    if (found == clients_.end()) return;
    Bytes &output = found->second.output;
    if (!output.empty()) {
        const ssize_t sent =
            ::send(socket, output.data(), output.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            closeClient(socket);
            return;
        }
        if (sent > 0) {
            output.erase(output.begin(), output.begin() + sent);
            found->second.lastActivity = now;
        }
    }
}

void DNSProxy::switchToTCP(int socket, double now) {
    auto node = exchanges_.extract(socket);
    close(socket);
    Exchange &exchange = node.mapped();
    const int descriptor = upstreamSocket(SOCK_STREAM);
    if (descriptor < 0) {
        send(exchange.destination, &exchange.query,
             DNSMessage::reply(exchange.query, DNSMessage::serverFailure));
        return;
    }
    const auto sealed = exchange.session->seal(exchange.upstreamQuery, true);
    exchange.nonce = sealed.nonce;
    exchange.output = sealed.packet;
    exchange.written = 0;
    exchange.tcp = true;
    exchange.connecting = true;
    exchange.deadline = now + timing_.queryTimeout;
    node.key() = descriptor;
    exchanges_.insert(std::move(node));
}

void DNSProxy::finishExchange(int socket, std::optional<Bytes> message,
                              const std::optional<DNSMessage::Response> &response, double now) {
    auto node = exchanges_.extract(socket);
    close(socket);
    Exchange &exchange = node.mapped();
    if (!message || !response) {
        send(exchange.destination, &exchange.query,
             DNSMessage::reply(exchange.query, DNSMessage::serverFailure));
        return;
    }
    if (configuration_.cache) cache_.store(exchange.query, *message, *response, now);
    DNSMessage::writeU16(*message, 0, exchange.query.id);
    std::copy(exchange.query.question.begin(), exchange.query.question.end(),
              message->begin() + DNSMessage::headerSize);
    send(exchange.destination, &exchange.query, std::move(*message));
}

void DNSProxy::serviceExchange(int socket, short events, double now) {
    auto found = exchanges_.find(socket);
    if (found == exchanges_.end()) return;
    Exchange &exchange = found->second;
    const auto parse = [&exchange](const Bytes &message) {
        return DNSMessage::parseResponse(message, exchange.upstreamID, exchange.query.name,
                                         exchange.query.type, exchange.query.questionClass);
    };
    if (!exchange.tcp) {
        for (int i = 0; i < 8; ++i) {
            const ssize_t received = recv(socket, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            // A refused port will not answer later: fail now rather than at the time-out.
            if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                finishExchange(socket, std::nullopt, std::nullopt, now);
                return;
            }
            if (received < 0) return;
            const auto message = exchange.session->open(
                {buffer_.data(), static_cast<std::size_t>(received)}, exchange.nonce);
            // Anything that is not the sealed answer to this query is ignored: on UDP a forged
            // packet must not end the wait for the real one.
            if (!message) continue;
            const auto response = parse(*message);
            if (response && response->truncated) {
                minimumQuerySize_ = std::min(minimumQuerySize_ + 64, maximumQuerySize);
                switchToTCP(socket, now);
                return;
            }
            finishExchange(socket, message, response, now);
            return;
        }
        return;
    }
    if (exchange.connecting && (events & (POLLOUT | POLLERR | POLLHUP))) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            finishExchange(socket, std::nullopt, std::nullopt, now);
            return;
        }
        exchange.connecting = false;
    }
    if (!exchange.connecting && exchange.written < exchange.output.size()) {
        const ssize_t sent =
            ::send(socket, exchange.output.data() + exchange.written,
                   exchange.output.size() - exchange.written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            finishExchange(socket, std::nullopt, std::nullopt, now);
            return;
        }
        if (sent > 0) exchange.written += static_cast<std::size_t>(sent);
    }
    if (events & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t received = recv(socket, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (received == 0 || (received < 0 && errno != EAGAIN && errno != EINTR)) {
            finishExchange(socket, std::nullopt, std::nullopt, now);
            return;
        }
        if (received > 0)
            exchange.input.insert(exchange.input.end(), buffer_.begin(),
                                  buffer_.begin() + received);
        if (exchange.input.size() >= 2) {
            const std::size_t length = DNSMessage::readU16(exchange.input, 0);
            if (exchange.input.size() >= 2 + length) {
                const auto message = exchange.session->open(
                    std::span<const std::uint8_t>(exchange.input).subspan(2, length),
                    exchange.nonce);
                std::optional<DNSMessage::Response> response;
                if (message) response = parse(*message);
                // Over TCP there is nothing more to wait for: a truncated answer is a failure.
                if (response && response->truncated) response.reset();
                finishExchange(socket, message, response, now);
            }
        }
    }
}

void DNSProxy::expire(double now) {
    std::vector<int> late;
    for (const auto &[socket, exchange] : exchanges_)
        if (now >= exchange.deadline) late.push_back(socket);
    for (int socket : late) finishExchange(socket, std::nullopt, std::nullopt, now);
    std::vector<int> idle;
    for (const auto &[socket, client] : clients_)
        if (now - client.lastActivity >= clientIdleTimeout) idle.push_back(socket);
    for (int socket : idle) closeClient(socket);
}

void DNSProxy::run() {
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGINT);
    sigset_t previous;
    // The signals are only let in while the loop waits, so none is lost between checks.
    sigprocmask(SIG_BLOCK, &termination, &previous);
    struct sigaction action {};
    action.sa_handler = requestTermination;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t waiting = previous;
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);

    currentSession(steadyNow());
    std::vector<pollfd> entries;
    while (!terminationRequested) {
        entries.clear();
        for (int socket : udpListeners_) entries.push_back({socket, POLLIN, 0});
        for (int socket : tcpListeners_) entries.push_back({socket, POLLIN, 0});
        const std::size_t firstClient = entries.size();
        for (const auto &[socket, client] : clients_)
            entries.push_back(
                {socket, static_cast<short>(POLLIN | (client.output.empty() ? 0 : POLLOUT)), 0});
        const std::size_t firstExchange = entries.size();
        double nextDeadline = steadyNow() + 1;
        for (const auto &[socket, exchange] : exchanges_) {
            const bool wantsOutput =
                exchange.tcp && (exchange.connecting || exchange.written < exchange.output.size());
            entries.push_back({socket, static_cast<short>(wantsOutput ? POLLOUT : POLLIN), 0});
            nextDeadline = std::min(nextDeadline, exchange.deadline);
        }
        const double wait = std::max(0.0, nextDeadline - steadyNow());
        timespec timeout{static_cast<time_t>(wait),
                         static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
        const int ready = ppoll(entries.data(), entries.size(), &timeout, &waiting);
        if (ready < 0 && errno != EINTR) throw systemError("ppoll");
        const double now = steadyNow();
        if (ready > 0) {
            for (std::size_t i = 0; i < entries.size(); ++i) {
                const pollfd &entry = entries[i];
                if (entry.revents == 0) continue;
                if (i < udpListeners_.size())
                    readUDPListener(entry.fd, now);
                else if (i < firstClient)
                    acceptClient(entry.fd, now);
                else if (i < firstExchange)
                    serviceClient(entry.fd, entry.revents, now);
                else
                    serviceExchange(entry.fd, entry.revents, now);
            }
        }
        expire(now);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace orvix
