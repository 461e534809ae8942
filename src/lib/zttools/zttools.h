/* zttools: the shared utility library of the appliance's service processes.
 *
 * One header for the whole library, usable from C and C++. The families
 * follow in this order: module frame; restart notifications and the daemon
 * loop; message queues; confinement; files and paths; pointer arrays;
 * strings; dumps; the atob codec; sockets and descriptor I/O; interfaces,
 * routes and ARP; list; hash table; tree; circular queue; socket buffer.
 *
 * Conventions: heap results come from malloc and are released with free by
 * the caller; IPv4 addresses are in network byte order unless a function
 * says otherwise; every function runs on the caller's thread. */
#ifndef ZTTOOLS_H
#define ZTTOOLS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZT_API __attribute__((visibility("default")))

/* ---- module frame ----------------------------------------------------- */

/* Tcl extension entry points ("load libzttools.so Zttools"): return 0. */
ZT_API int Zttools_Init(void *interp);
ZT_API int Tcl_ModInit(void *interp);

/* ---- restart notifications -------------------------------------------- */

#define RESTART_UDS_DIR "/tmp/restart_uds"
#define RESTART_PROTOCOL_ID 0x00010001u
#define RESTART_CHECK 1
#define RESTART_REQUEST 2
#define RESTART_EVENT 3
/* The most property groups that one check may carry. */
#define RESTART_MAX_PROPS 65536u

typedef struct restart_prop {
    char *str1;
    char *str2;
    char *str3;
    uint32_t value;
} restart_prop;

/* Judges one property; only the results 0 and 1 count. */
typedef int (*restart_check_handler)(const char *str1, const char *str2, const char *str3,
                                     void *ctx);
/* Returns 3 when the service restarted. */
typedef int (*restart_request_handler)(void *ctx);
/* Returns the result sent back to the peer. */
typedef int (*restart_event_handler)(uint32_t code, void *args, void *ctx);

ZT_API int restart_server(const char *name);
ZT_API int restart_accept(int listen_fd, restart_check_handler check_handler,
                          restart_request_handler request_handler,
                          restart_event_handler event_handler, uint32_t read_arg, void *ctx);
ZT_API restart_prop *restart_get_props(int fd, uint32_t count);
ZT_API void restart_free_props(restart_prop *list, int count);
ZT_API int restart_send_prop(int fd, const restart_prop *prop, uint32_t id);
ZT_API int restart_close(int fd);
ZT_API int restart_del(const char *name);

/* ---- daemon event loop ------------------------------------------------ */

/* ---- message queues --------------------------------------------------- */

/* ---- confinement, signals, random numbers ----------------------------- */

/* ---- files and paths -------------------------------------------------- */

/* ---- pointer arrays --------------------------------------------------- */

/* ---- strings: building, words, patterns, address text ----------------- */

/* Formats into a new heap string, or appends the text to base (which is then
 * reallocated: use only the result). Null on failure, with errno; base is
 * then untouched. */
ZT_API char *zt_buildstr(char *base, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Append to, or prepend to, the heap string *dst (null counts as empty);
 * *dst may move. Return the new *dst. */
ZT_API char *strnappend(char **dst, const char *src, size_t n);
ZT_API char *strappend(char **dst, const char *src);
ZT_API char *strprepend(char **dst, const char *prefix);

/* ---- diagnostic dumps ------------------------------------------------- */

/* ---- atob codec ------------------------------------------------------- */

/* ---- sockets and descriptor I/O --------------------------------------- */

/* ---- interfaces, routes, roles and ARP -------------------------------- */

/* ---- linked list ------------------------------------------------------ */

/* ---- hash table ------------------------------------------------------- */

/* ---- balanced tree ---------------------------------------------------- */

/* ---- circular queue --------------------------------------------------- */

/* ---- socket buffer ---------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif
