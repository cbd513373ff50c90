#include "orvix_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { PROC_TEXT_LIMIT = 4096 };

/* Reads a small /proc file into `buffer` (zero-terminated); returns its length or -1. */
static ssize_t read_proc_text(const char *path, char *buffer, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t used = 0;
    while (used + 1 < size) {
        ssize_t got = read(fd, buffer + used, size - 1 - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += (size_t)got;
    }
    close(fd);
    buffer[used] = '\0';
    return used == 0 ? -1 : (ssize_t)used;
}

/* The boot time never changes while the system runs, so it is read once. */
static uint64_t boot_time_seconds(void) {
    static _Atomic uint64_t cached = 0;
    uint64_t value = atomic_load(&cached);
    if (value != 0) return value;
    char text[PROC_TEXT_LIMIT * 4];
    if (read_proc_text("/proc/stat", text, sizeof text) < 0) return 0;
    const char *line = strstr(text, "\nbtime ");
    if (line == NULL) return 0;
    value = strtoull(line + 7, NULL, 10);
    atomic_store(&cached, value);
    return value;
}

int32_t orvix_list_pids(int32_t *buffer, int32_t capacity) {
    if (buffer == NULL || capacity < 0) return -1;
    DIR *proc = opendir("/proc");
    if (proc == NULL) return -1;
    int32_t count = 0;
    struct dirent *entry;
    while ((entry = readdir(proc)) != NULL) {
        const char *name = entry->d_name;
        if (name[0] < '1' || name[0] > '9') continue;
        char *end;
        long pid = strtol(name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid > INT32_MAX) continue;
        if (count < capacity) buffer[count] = (int32_t)pid;
        if (count < INT32_MAX) count++;
    }
    closedir(proc);
    return count;
}

static int read_uid(int32_t pid, uint32_t *uid) {
    char path[64];
    char text[PROC_TEXT_LIMIT];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    if (read_proc_text(path, text, sizeof text) < 0) return -1;
    const char *line = strstr(text, "\nUid:");
    if (line == NULL) return -1;
    char *end;
    unsigned long long value = strtoull(line + 5, &end, 10);
    if (end == line + 5 || value > UINT32_MAX) return -1;
    *uid = (uint32_t)value;
    return 0;
}

static int read_start(int32_t pid, uint64_t *start) {
    char path[64];
    char text[PROC_TEXT_LIMIT];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (read_proc_text(path, text, sizeof text) < 0) return -1;
    /* The command name may hold spaces and parentheses; the fields start after the last ')'. */
    const char *cursor = strrchr(text, ')');
    if (cursor == NULL) return -1;
    cursor++;
    /* After ')' comes field 3 (state); the start time is field 22. */
    for (int field = 3; field < 22; field++) {
        cursor = strchr(cursor + 1, ' ');
        if (cursor == NULL) return -1;
    }
    char *end;
    unsigned long long ticks = strtoull(cursor + 1, &end, 10);
    if (end == cursor + 1) return -1;
    long ticks_per_second = sysconf(_SC_CLK_TCK);
    uint64_t boot = boot_time_seconds();
    if (ticks_per_second <= 0 || boot == 0) return -1;
    *start = boot * 1000000ULL + (uint64_t)ticks * 1000000ULL / (uint64_t)ticks_per_second;
    return 0;
}

int32_t orvix_process_identity(int32_t pid, uint32_t *uid, uint64_t *start_microseconds) {
    if (pid <= 0 || uid == NULL || start_microseconds == NULL) return -1;
    uint32_t read_uid_value;
    uint64_t read_start_value;
    if (read_uid(pid, &read_uid_value) != 0 || read_start(pid, &read_start_value) != 0) return -1;
    *uid = read_uid_value;
    *start_microseconds = read_start_value;
    return 0;
}

int32_t orvix_process_path(int32_t pid, char *buffer, uint32_t size) {
    if (pid <= 0 || buffer == NULL || size < 2) return -1;
    char link[64];
    snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
    ssize_t length = readlink(link, buffer, size);
    /* readlink truncates silently; a path that filled the buffer may be cut short. */
    if (length <= 0 || (size_t)length >= size) return -1;
    static const char deleted[] = " (deleted)";
    const size_t deleted_length = sizeof deleted - 1;
    if ((size_t)length > deleted_length &&
        memcmp(buffer + length - deleted_length, deleted, deleted_length) == 0) {
        length -= (ssize_t)deleted_length;
    }
    buffer[length] = '\0';
    return (int32_t)length;
}

static int pidfd_open_process(int32_t pid) {
    return (int)syscall(SYS_pidfd_open, (pid_t)pid, 0U);
}

static int pidfd_signal(int pidfd, int signal_number) {
    return (int)syscall(SYS_pidfd_send_signal, pidfd, signal_number, NULL, 0U);
}

int32_t orvix_kill_if_owned(int32_t pid, uint32_t uid, uint64_t start_microseconds) {
    uid_t caller = getuid();
    if (caller == 0) return 1;
    if (pid < 2 || uid != (uint32_t)caller) return 1;
    if (pid == (int32_t)getpid()) return 1;

    /* The pidfd pins the process that holds the pid now; checking the identity after opening
     * it means the signal can only reach the process that was inspected. */
    int pidfd = pidfd_open_process(pid);
    if (pidfd < 0) return errno;

    int32_t result;
    uint32_t current_uid;
    uint64_t current_start;
    if (orvix_process_identity(pid, &current_uid, &current_start) != 0) {
        result = (pidfd_signal(pidfd, 0) != 0 && errno == ESRCH) ? ESRCH : 1;
    } else if (current_uid != uid || current_start != start_microseconds) {
        result = 1;
    } else if (pidfd_signal(pidfd, SIGKILL) != 0) {
        result = errno;
    } else {
        result = 0;
    }
    close(pidfd);
    return result;
}
