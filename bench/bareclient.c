#include "bareclient.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

int bare_client_open(const char *path)
{
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void bare_client_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

static long long now_ms(void)
{
    struct timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    return (long long)at.tv_sec * 1000 + at.tv_nsec / 1000000;
}

long bare_client_query(int fd, const char *query, long query_length, char prompt, char *reply,
        long capacity, int timeout_ms)
{
    const long long deadline = now_ms() + timeout_ms;
    long sent = 0;
    while (sent < query_length) {
        const ssize_t n = write(fd, query + sent, (size_t)(query_length - sent));
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        struct pollfd writable = {fd, POLLOUT, 0};
        const long long left = deadline - now_ms();
        if (left <= 0)
            return -1;
        poll(&writable, 1, (int)left);
    }

    long length = 0;
    char chunk[512];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            const long kept = n < capacity - length ? (long)n : capacity - length;
            memcpy(reply + length, chunk, (size_t)kept);
            length += kept;
            if (memchr(chunk, prompt, (size_t)n) != NULL)
                return length;
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return -1;
        struct pollfd readable = {fd, POLLIN, 0};
        const long long left = deadline - now_ms();
        if (left <= 0)
            return -1;
        poll(&readable, 1, (int)left);
    }
}
