/* Process primitives of the boot enforcer.
 *
 * Plain C with fixed-width integers so the rules above them never touch /proc directly.
 * A process is identified by its pid, the real user id the kernel reports for it and its
 * start time in microseconds since the epoch; the start time tells a reused pid apart from
 * the process that was inspected. */
#ifndef ORVIX_PROCESS_H
#define ORVIX_PROCESS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes up to `capacity` process ids into `buffer` and returns how many processes exist
 * (which may exceed `capacity`: the caller then offers a larger buffer next time);
 * negative on failure. */
int32_t orvix_list_pids(int32_t *buffer, int32_t capacity);

/* 0 with the real user id and the start time (microseconds since the epoch) of `pid`;
 * -1 when either cannot be read. */
int32_t orvix_process_identity(int32_t pid, uint32_t *uid, uint64_t *start_microseconds);

/* Writes the executable path of `pid` (a trailing " (deleted)" removed, zero-terminated when
 * it fits) and returns its length; 0 or negative on failure. */
int32_t orvix_process_path(int32_t pid, char *buffer, uint32_t size);

/* Sends SIGKILL to `pid` only when it is still the process of `uid` that started at
 * `start_microseconds`. Returns 0 when the signal was sent, the errno when sending failed
 * (ESRCH when the process had just ended) and 1 when a guard refused. */
int32_t orvix_kill_if_owned(int32_t pid, uint32_t uid, uint64_t start_microseconds);

#ifdef __cplusplus
}
#endif

#endif
