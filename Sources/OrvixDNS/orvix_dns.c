#include "orvix_dns.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "orvix_provider.h"

enum {
    resolver_port = 53,
    header_length = 12,
    largest_reply = 4096,
    largest_name = 255,
};

static struct sockaddr_in6 resolver_address(void) {
    struct sockaddr_in6 address;
    memset(&address, 0, sizeof address);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(resolver_port);
    address.sin6_addr = in6addr_loopback;
    address.sin6_flowinfo = 0;
    address.sin6_scope_id = 0;
    return address;
}

static int close_keeping_errno(int descriptor) {
    int saved = errno;
    if (descriptor >= 0) close(descriptor);
    errno = saved;
    return -1;
}

int orvix_dns_ports_available(void) {
    int datagram = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (datagram < 0) return errno;
    int stream = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (stream < 0) {
        int error = errno;
        close(datagram);
        return error;
    }

    /* Only the IPv6 port is ours to judge; failures of these options change nothing that
       matters for the answer. */
    int on = 1;
    (void)setsockopt(datagram, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    (void)setsockopt(stream, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    (void)setsockopt(stream, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    struct sockaddr_in6 address = resolver_address();
    /* Short-circuited: the first failure decides, later steps are not attempted. */
    int result = 0;
    if (bind(datagram, (const struct sockaddr *)&address, sizeof address) != 0 ||
        bind(stream, (const struct sockaddr *)&address, sizeof address) != 0 ||
        listen(stream, 1) != 0)
        result = errno;

    close(stream);
    close(datagram);
    return result;
}

/* The query: ID 0x4646, recursion desired, one question for the connection-check domain,
   type A, class IN. Returns its length, or 0 when the name does not fit. */
static size_t build_probe_query(unsigned char *query, size_t capacity) {
    static const unsigned char header[header_length] = {0x46, 0x46, 0x01, 0x00, 0x00, 0x01,
                                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const char *name = ORVIX_CONNECTION_CHECK_DOMAIN;
    size_t name_length = strlen(name);
    if (name_length == 0 || name_length > largest_name ||
        capacity < header_length + name_length + 2 + 4)
        return 0;
    memcpy(query, header, header_length);
    size_t length = header_length;
    const char *label = name;
    while (*label != '\0') {
        const char *dot = strchr(label, '.');
        size_t label_length = dot != NULL ? (size_t)(dot - label) : strlen(label);
        if (label_length == 0 || label_length > 63) return 0;
        query[length++] = (unsigned char)label_length;
        memcpy(query + length, label, label_length);
        length += label_length;
        label += label_length;
        if (*label == '.') label++;
    }
    query[length++] = 0x00;
    static const unsigned char type_and_class[4] = {0x00, 0x01, 0x00, 0x01};
    memcpy(query + length, type_and_class, sizeof type_and_class);
    return length + sizeof type_and_class;
}

int orvix_dns_probe(void) {
    unsigned char query[header_length + largest_name + 2 + 4];
    size_t query_length = build_probe_query(query, sizeof query);
    if (query_length == 0) return -1;

    int descriptor = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return -1;
    struct timeval timeout = {.tv_sec = 1, .tv_usec = 0};
    if (setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return close_keeping_errno(descriptor);
    struct sockaddr_in6 address = resolver_address();
    if (connect(descriptor, (const struct sockaddr *)&address, sizeof address) != 0)
        return close_keeping_errno(descriptor);
    if (send(descriptor, query, query_length, 0) != (ssize_t)query_length)
        return close_keeping_errno(descriptor);

    unsigned char reply[largest_reply];
    ssize_t received = recv(descriptor, reply, sizeof reply, 0);
    close(descriptor);

    if (received < header_length) return -1;
    if (reply[0] != 0x46 || reply[1] != 0x46) return -1;
    if ((reply[2] & 0x80) == 0) return -1;
    if ((reply[3] & 0x0f) != 0) return -1;
    if (reply[6] == 0 && reply[7] == 0) return -1;
    return 0;
}
