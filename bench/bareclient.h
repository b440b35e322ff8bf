#pragma once

// The floor of one exchange on this machine: a client in plain C, with no event loop and no
// library between it and the line. It writes the query, waits in poll() and reads until the
// prompt, and that is all; whatever an exchange costs beyond this is the program's own.

#ifdef __cplusplus
extern "C" {
#endif

// Opens a serial device raw, for bare_client_query. -1 when it cannot be opened.
int bare_client_open(const char *path);
void bare_client_close(int fd);

// Writes `query` whole, then reads until `prompt` has arrived, for at most `timeout_ms` in
// all. The reply, prompt included, goes to `reply` (at most `capacity` bytes; more is read
// and dropped). Returns the reply's length, or -1 on a failure or when the time ran out.
long bare_client_query(int fd, const char *query, long query_length, char prompt, char *reply,
        long capacity, int timeout_ms);

#ifdef __cplusplus
}
#endif
