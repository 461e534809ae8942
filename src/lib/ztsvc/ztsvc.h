/* ztsvc: the services library that zttools calls for diagnostic traces,
 * local-socket message transport and the per-service command server.
 *
 * This is a small, complete implementation of that library's interface, so
 * that zttools and its services build, run and are tested on any machine.
 * The appliance's own services library replaces it without a rebuild of
 * libzttools: zttools only imports the functions of the first two groups.
 *
 * Traces. A record is emitted by ztlog_trace_r; it becomes one line
 *     TIME PID trace[LEVEL] SEVERITY FILE:LINE FUNCTION: MESSAGE
 * (TIME in UTC with microseconds, as 2026-12-08T01:23:45.123456Z; PID the
 * emitting process) written with a single write(2) to the trace sink: the
 * descriptor given to ztlog_set_sink, else the file named by the environment
 * variable ZTLOG_FILE, else standard error. ZTLOG_FILE is opened (appending,
 * created with mode 0600) when the library is loaded, before the program's
 * main runs, so that a service that later enters a sandbox (chroot) or gives
 * up its user keeps writing to it; a file that cannot be opened then leaves
 * the records on standard error, and a later change of the variable has no
 * effect. Line feeds inside MESSAGE are written as "\n". The diagnostic
 * level starts at ZTLOG_LEVEL (default 1) and is changed by ztlog_set_level
 * or by the command server's "level N" command.
 *
 * Transport. A message is a 12-byte header (the magic 0x5a545544, the
 * message id, the payload length; 32-bit words in host order) followed by
 * the payload, at most ZTUDS_MAX_PAYLOAD bytes, over a local stream socket.
 * Reads and writes continue after partial transfers and EINTR. One read or
 * write of a whole message, header and payload together, ends by its
 * deadline: the transport's time-out counted from the start of the call,
 * however the peer spreads its bytes, so no peer holds a caller longer than
 * that per message. Failures:
 *     EMSGSIZE   payload longer than ZTUDS_MAX_PAYLOAD
 *     EBADMSG    the peer sent bytes that are not a message header
 *     EPROTO     the read argument asked for another message id
 *     ECONNRESET the peer hung up inside a message
 *     ETIMEDOUT  the whole message did not arrive (or leave) by the deadline
 *     0          the peer closed the connection before a new message began
 *                (an orderly end, not a fault; the result is still -1)
 * The time-out (default 5000 ms) comes from ZTUDS_TIMEOUT_MS or
 * ztuds_set_timeout. Descriptors are close-on-exec.
 *
 * Out of descriptors. While a listener made by ztuds_server is open, the
 * transport holds one spare descriptor. When accept fails with EMFILE or
 * ENFILE, ztuds_accept gives the spare up, accepts the oldest waiting
 * connection, closes it at once (the peer sees the connection end) and takes
 * the spare again; it returns -1 with that EMFILE or ENFILE. So each refused
 * connection costs its caller one failure, and the listener is readable
 * again only when a new connection waits: a loop that selects on it sleeps
 * instead of spinning.
 *
 * Command server. ztcmd_server_init listens on "/tmp/ztcmd/NAME". A client
 * sends one command line (message id ZTCMD_ID); the server answers one
 * message: a 32-bit status (0 = success) followed by the reply text. A
 * client that closes before sending its command is not an error: the
 * handler returns 0. Reading the command and writing the reply are each
 * bounded by the transport's deadline. Built in
 * are "help", "status", "level" and "level N"; every other command goes to
 * the service's ztcmd_handler, given to ztuds_handler as its opaque
 * argument. */
#ifndef ZTSVC_H
#define ZTSVC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZTSVC_API __attribute__((visibility("default")))

/* ---- diagnostic traces ------------------------------------------------ */

ZTSVC_API int ztlog_diag_level(int handle);
ZTSVC_API void ztlog_trace_r(int handle, int level, int severity, const char *file, int line,
                             const char *function, const char *format, ...)
    __attribute__((format(printf, 7, 8)));

/* Sets the diagnostic level of the process's default log. */
ZTSVC_API void ztlog_set_level(int level);
/* Sends later records to fd (-1: back to the default sink). Returns 0. */
ZTSVC_API int ztlog_set_sink(int fd);

/* ---- local-socket transport ------------------------------------------- */

#define ZTUDS_MAX_PAYLOAD (1024u * 1024u)

ZTSVC_API int ztuds_server(const char *path, int mode);
ZTSVC_API int ztuds_accept(int listen_fd);
/* Receives one whole message. The payload comes in a new heap block (freed
 * by the caller) that holds one NUL byte after the payload; an empty message
 * gives a null pointer. Returns the payload length, or -1 with errno. */
ZTSVC_API int ztuds_read(int fd, void **payload, uint32_t *length, uint32_t *id,
                         uint32_t read_arg);
ZTSVC_API int ztuds_write(int fd, const void *payload, uint32_t length, uint32_t id);
/* Closes fd; a negative fd is ignored and gives 0. */
ZTSVC_API int ztuds_close(int fd);
/* Connects to the server socket at path. Returns the descriptor or -1. */
ZTSVC_API int ztuds_connect(const char *path);
/* Sets the time-out of each whole message read or written (milliseconds,
 * at least 1). */
ZTSVC_API void ztuds_set_timeout(int milliseconds);

/* ---- command server --------------------------------------------------- */

#define ZTCMD_ID 0x00020001u
#define ZTCMD_DIR "/tmp/ztcmd"

/* A service's command handler: argv holds the command's words (argc >= 1).
 * It writes its reply text (NUL-terminated, at most size bytes with the NUL)
 * into reply and returns the status sent to the client: 0 for success. */
typedef int (*ztcmd_handler)(int argc, char **argv, char *reply, size_t size, void *ctx);

ZTSVC_API int ztcmd_server_init(const char name[40], int *fd);
ZTSVC_API int ztuds_handler(int fd, void *cmd_handler, void *ctx);
ZTSVC_API int ztcmd_server_term(int *fd);

/* Client side: sends command to the service name and stores the reply text
 * (a new heap string) and its status. Returns 0 or -1 with errno. */
ZTSVC_API int ztcmd_request(const char *name, const char *command, int *status, char **reply);

#ifdef __cplusplus
}
#endif

#endif
