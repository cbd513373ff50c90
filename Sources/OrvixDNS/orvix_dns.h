/* The website service's two questions about its resolver address [::1]:53.
 *
 * Plain C with no state: every socket opened is closed before returning. */
#ifndef ORVIX_DNS_H
#define ORVIX_DNS_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when both UDP and TCP port 53 on ::1 can be taken (they are given back at once);
 * otherwise the errno of the first step that failed, so EADDRINUSE means some other program
 * already owns the address. */
int orvix_dns_ports_available(void);

/* 0 when the resolver on [::1]:53 answers an A query for the connection-check domain with at
 * least one answer and no error within about a second; -1 otherwise. */
int orvix_dns_probe(void);

#ifdef __cplusplus
}
#endif

#endif
