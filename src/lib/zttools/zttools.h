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
 * says otherwise; every function runs on the caller's thread.
 *
 * The manual: zttools(7) for the whole library and its wire formats, and
 * the page each family's banner names. */
#ifndef ZTTOOLS_H
#define ZTTOOLS_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/select.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZT_API __attribute__((visibility("default")))

/* The library's version: the major number is the soname's (libzttools.so.1),
 * a new minor number adds to the interface, a new patch number changes none. */
#define ZTTOOLS_VERSION_MAJOR 1
#define ZTTOOLS_VERSION_MINOR 0
#define ZTTOOLS_VERSION_PATCH 0
#define ZTTOOLS_VERSION "1.0.0"

/* ---- module frame: module.cc, zttools_module(3) ------------------------- */

/* Tcl extension entry points ("load libzttools.so Zttools"): return 0. */
ZT_API int Zttools_Init(void *interp);
ZT_API int Tcl_ModInit(void *interp);

/* ---- restart notifications: restart.cc, zttools_restart(3) -------------- */

#define RESTART_UDS_DIR "/tmp/restart_uds"
#define RESTART_PROTOCOL_ID 0x00010001u
#define RESTART_CHECK 1
#define RESTART_REQUEST 2
#define RESTART_EVENT 3
/* The most property groups that one check may carry, and the most bytes
 * that its strings may add up to (their NULs included). restart_get_props
 * refuses more with EMSGSIZE; a service then sends no reply and closes the
 * connection, as for any list that cannot be read. */
#define RESTART_MAX_PROPS 65536u
#define RESTART_MAX_PROP_BYTES (1024u * 1024u)

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

/* The listening socket of service name at RESTART_UDS_DIR "/" NAME (mode
 * 0700), the directory made (0700) when missing (or checked as found when
 * another process makes it at the same moment): the descriptor, or -1
 * with errno: EINVAL for a null or empty name or one with a slash, ENOTDIR
 * when the directory is another kind of file, EACCES when its owner has no
 * access to it, else that of stat, mkdir, malloc or the transport. */
ZT_API int restart_server(const char *name);
/* Accepts one connection on listen_fd, reads its request (passing read_arg
 * to the transport for the request and an event's argument block), calls
 * the handler of its type, sends the 8-byte reply and closes the
 * connection. A check is answered with the last 0 or 1 that check_handler
 * gave over its properties (2 when none did, or for no property); a
 * restart request with 3 when request_handler returned 3, else 4; an event
 * with event_handler's result (2 without one). 0 when served; -1 with
 * errno otherwise, most failures with a LOG_ERR syslog record: EINVAL
 * (null check_handler or request_handler: nothing accepted), EPROTO (a
 * message id other than RESTART_PROTOCOL_ID), EBADRQC (an unknown type),
 * EBADMSG (a request shorter than 8 bytes, a property string without its
 * NUL or a value shorter than 4 bytes), EMSGSIZE (more than
 * RESTART_MAX_PROPS properties), or the transport's errno. No reply is sent
 * for a rejected request. A failed check reply is logged but returns 0. */
ZT_API int restart_accept(int listen_fd, restart_check_handler check_handler,
                          restart_request_handler request_handler,
                          restart_event_handler event_handler, uint32_t read_arg, void *ctx);
/* Reads count property groups from the connection fd (four messages each:
 * str1, str2, str3 with their NULs, empty for a null string, and a 4-byte
 * value) into a new list of count records, released with
 * restart_free_props. Null with errno on a failed read (EBADMSG for a
 * malformed message, EMSGSIZE above RESTART_MAX_PROPS) or allocation; a
 * peer that ends the connection early leaves the records not yet read
 * zero-filled. */
ZT_API restart_prop *restart_get_props(int fd, uint32_t count);
/* Frees the strings of the first count records and the list; null does
 * nothing, a count below 1 frees only the list. */
ZT_API void restart_free_props(restart_prop *list, int count);
/* Sends the four messages of one property group, each tagged with id
 * (RESTART_PROTOCOL_ID for this protocol): 0, or -1 with errno at the first
 * failed write (EINVAL for a null prop). */
ZT_API int restart_send_prop(int fd, const restart_prop *prop, uint32_t id);
/* Closes a connection or listening socket through the transport and
 * returns its result; a negative fd is returned unchanged. */
ZT_API int restart_close(int fd);
/* Removes the socket file of service name (a missing one is no error): 0,
 * or -1 with the directory's errno as for restart_server, EINVAL for a name
 * with a slash, or ENOMEM (with an error trace). A null or empty name
 * removes nothing and gives 0. */
ZT_API int restart_del(const char *name);

/* ---- daemon event loop: ztuds_daemon.cc, zttools_daemon(3) -------------- */

/* Called when the idle interval has run out; non-zero ends the loop. */
typedef int (*ztuds_idle_handler)(void *ctx);
/* Adds the caller's descriptors (below 1024) to read_set and raises
 * *highest_fd to cover them; the result is ignored. */
typedef int (*ztuds_fdset_hook)(int *highest_fd, fd_set *read_set);
/* Called after every successful wait with the ready set and the seconds
 * since its previous call; non-zero ends the loop. */
typedef int (*ztuds_fd_handler)(fd_set *read_set, int32_t elapsed_secs, void *ctx);

/* The main loop of a service: serves the command server (set up with the
 * first 39 characters of name) and the restart socket of name, calls
 * idle_handler every idle_secs seconds of uptime (0: on every pass, and the
 * wait has no time-out) and the caller's descriptors through fdset_hook and
 * fd_handler (only when both are given). Returns -1 when a mandatory
 * handler (cmd_handler, check_handler, request_handler) is null, the
 * restart socket cannot be made, max_errors is below 1 or max_errors waits
 * in a row failed; the command server's result when it cannot be set up;
 * otherwise the non-zero result of idle_handler or fd_handler. Both sockets
 * are shut down before it returns; the restart socket file stays. A null
 * name fails like a command server that cannot be set up (EINVAL). */
ZT_API int ztuds_daemon(const char *name, int max_errors, int idle_secs,
                        ztuds_idle_handler idle_handler, void *ctx, void *cmd_handler,
                        restart_check_handler check_handler,
                        restart_request_handler request_handler,
                        restart_event_handler event_handler, ztuds_fdset_hook fdset_hook,
                        ztuds_fd_handler fd_handler);

/* ---- message queues: msgqueue.cc, zttools_msgqueue(3) ------------------- */

/* A receiving service's queue is keyed by the directory ZTMSG_DIR NAME,
 * created by ztmsg_init; "*" as a destination sends to every service with
 * such a directory. Records go to syslog, each naming its function. */

#define ZTMSG_DIR "/tmp/ztmsg/"
/* The project id that ftok takes with the directory for the queue key. */
#define ZTMSG_KEY_ID 42
/* The most data bytes that one message carries. */
#define ZTMSG_MAX_DATA 252

/* A message as the queue carries it: the type (a long, as the kernel has
 * it), then length, sender and data. ztmsg_get writes at most
 * ZTMSG_RECEIVE_SIZE bytes: 264 on i386, where that is the whole record,
 * and 268 on x86_64, where the record is 272 bytes with 4 bytes of padding
 * at its end that are never written. One record is always enough. */
typedef struct ztmsg_message {
    long mtype;          /* positive, chosen by the sender */
    uint32_t length;     /* bytes in data, at most ZTMSG_MAX_DATA */
    int32_t sender_pid;  /* filled in by ztmsg_send */
    char data[ZTMSG_MAX_DATA];
} ztmsg_message;
#define ZTMSG_RECEIVE_SIZE (sizeof(long) + 8 + ZTMSG_MAX_DATA)

/* Creates (or finds again) the queue of service name; 0 and its id, or -1. */
ZT_API int ztmsg_init(const char *name, int *queue_id);
/* Takes the first message into message; received gets the bytes after the
 * type (length + 8). wait 0 returns -1 (ENOMSG) on an empty queue, -1 waits
 * (any other value is logged and waits too). -1 on failure (EINVAL for a
 * null pointer). */
ZT_API int ztmsg_get(int queue_id, ztmsg_message *message, int *received, int wait);
/* Sends message (its sender_pid is set) to service name, without waiting
 * on a full queue; "*" sends to every service and returns 0 whatever the
 * single sends gave. 0 or -1 (EINVAL for a null pointer). A length above
 * ZTMSG_MAX_DATA is refused before anything is sent, for one service or
 * "*": -1, EMSGSIZE, "ztmsg_send: message of %u bytes is longer than 252"
 * logged at LOG_ERR. */
ZT_API int ztmsg_send(const char *name, ztmsg_message *message);
/* Removes the queue; its key directory stays. Always 0. */
ZT_API int ztmsg_term(int queue_id);

/* ---- confinement, signals, random numbers: confine.cc, zttools_confine(3) ---- */

/* A service's sandbox is ZT_SANDBOX_ROOT "/" NAME, made new by
 * enter_sandbox_dir. Failures are logged at LOG_USER | LOG_DEBUG. */

#define ZT_SANDBOX_ROOT "/tmp/sandbox"

/* setpriority of process pid (0: this one); 0 or -1 with errno. */
ZT_API int set_priority(int pid, int nice_value);
/* Caps the CPU time at seconds (soft limit; the hard one is raised to it
 * if lower). Negative seconds convert to rlim_t as C converts them: -1 is
 * RLIM_INFINITY, -2 the largest finite limit. On failure logs "setrlimit
 * failure" at LOG_USER | LOG_ERR and ends the process with status 1. */
ZT_API int set_cputime_limit(int seconds);
/* The ids of "nobody", or 65535 when the user database has no such user. */
ZT_API uint32_t get_nobody_uid(void);
ZT_API uint32_t get_nobody_gid(void);
/* New process group, then group id, then user id; 0, or -1 at the first
 * failing step (the earlier steps stay done). */
ZT_API int SetNobodyId(uint32_t uid, uint32_t gid);
/* Creates the sandbox (which must not exist yet), gives it to uid and gid
 * and makes it the working and root directory; 0 or -1 (ENOMEM, no record,
 * when its path cannot be allocated). */
ZT_API int enter_sandbox_dir(const char *name, uint32_t uid, uint32_t gid);
/* enter_sandbox_dir, then SetNobodyId, with the ids of "nobody"; 0 or -1. */
ZT_API int sandbox(const char *name);
/* Installs handler for sig with every signal blocked while it runs and no
 * flags (interrupted calls fail with EINTR); sigaction's result. */
ZT_API int SimpleSigAction(int sig, void (*handler)(int));
/* A number in 0 .. n-1 from /dev/urandom (0 when it cannot be read), or 0
 * when n is below 1. */
ZT_API int randint(int n);

/* ---- files and paths: files.cc, zttools_files(3) ------------------------ */

/* The library is built with large-file support (64-bit file offsets and
 * inode numbers) on 32-bit targets too, so these functions and the message
 * queues' directory walk work on files of 2 GiB and more and on file
 * systems with 64-bit inode numbers. Sizes stay 32-bit counts. No type of
 * this header depends on _FILE_OFFSET_BITS: a program may be built with or
 * without it (the tests compare every export's argument and result sizes,
 * and those of what they point to, both ways). */

/* The size of a regular file or a block device: 0 and the size, or -1 with
 * size 0 (errno 0 for a bad descriptor, ENOENT for another kind of file,
 * EINVAL for a null size pointer). */
ZT_API int zt_filesize_fd(int fd, uint32_t *size);
ZT_API int zt_filesize(const char *path, uint32_t *size);
/* Copies src to dst (created or truncated); 0, or -1 with a message on
 * standard error (dst is removed when a write fails). */
ZT_API int zt_file_copy(const char *src, const char *dst);
/* Creates path if it is missing, leaving an existing file as it is; 0 or -1. */
ZT_API int zt_touch(const char *path);
/* Shell-like test of path by letter: b c d e f l p, and r w x by the real
 * user and group ids (owner bit for the owner, else group bit for the
 * group, else the others' bit). 1 true, 0 false, -1 error: a missing path
 * is an error except for "e"; an unknown letter gives EINVAL. */
ZT_API int zt_filetest(const char *path, int letter);
/* Creates every missing directory of path (mode for the new ones); 0 when
 * the whole path is a directory, else -1 (ENOTDIR where an existing
 * non-directory is in the way, EINVAL for a null or empty path). */
ZT_API int zt_buildpath(const char *path, mode_t mode);
/* Everything before the last slash (a slash at the start does not count):
 * 0 and a new string, or -1 (dir then points to a static empty string, or
 * is null when the allocation failed). */
ZT_API int zt_dirname(const char *path, char **dir);
/* Everything after the last sep (0: '/'), or the whole path: 0 and a new
 * string, or -1. */
ZT_API int zt_basename(const char *path, char sep, char **base);

/* ---- pointer arrays: array.cc, zttools_array(3) ------------------------- */

/* A growable vector of pointer-sized values (pointers the caller owns, or
 * integers stored in their place). When elems is not null it has exactly
 * count + 1 slots, the last one null, so that it can also be walked as a
 * null-terminated list. Counting operations (ArrayNumElements, ArrayGet,
 * ArraySet, ArrayPush, ArraySort, ArrayDup) go by count; walking ones
 * (ArrayMatchNum, ArrayMatch, ArraysMatch, ArrayEnum, ArrayDeleteElement,
 * strjoin, CheckSig) stop at the first null slot, so a stored null or 0
 * ends them early. The array allocates only its vector (and, on request,
 * the record); it never touches what the elements point to. A null record
 * is accepted everywhere: it reads as empty and is never written. None of
 * the operations reports an allocation failure: a push that cannot grow the
 * vector leaves the array as it was. */
typedef struct Array {
    void **elems;    /* count + 1 slots, or null when empty */
    uint32_t count;  /* number of elements */
} Array;

/* Non-zero (only the low 8 bits count) when element matches key. */
typedef uint8_t (*ArrayMatchFn)(void *key, void *element);
/* Called for one element of array; the result is ignored. */
typedef int (*ArrayEnumFn)(Array *array, void *element);

/* Empties array (without releasing a vector it may hold: use ArrayDelete on
 * a used one) and returns it; with null, a new record from malloc (null
 * when memory runs out), released by the caller with free. */
ZT_API Array *ArrayNew(Array *array);
/* Releases the vector and empties the record (not freed, nor the elements). */
ZT_API void ArrayDelete(Array *array);
/* The number of elements (0 for null). */
ZT_API uint32_t ArrayNumElements(const Array *array);
/* The element at index, a negative index counting from the end (-1 is the
 * last); null out of range. */
ZT_API void *ArrayGet(const Array *array, int index);
/* Replaces the element at index (0 to count - 1); does nothing outside. */
ZT_API void ArraySet(Array *array, int index, void *value);
/* Appends value, growing the vector by exactly one slot. */
ZT_API void ArrayPush(Array *array, void *value);
/* A shallow copy of src's count + 1 slots into dst (expected empty; a
 * vector it holds is replaced, not released), made by ArrayNew(NULL) when
 * dst is null. src null: dst unchanged. Returns dst (empty when the copy
 * cannot be allocated). */
ZT_API Array *ArrayDup(const Array *src, Array *dst);
/* Index of the first element for which fn(key, element) is true, or -1. */
ZT_API int ArrayMatchNum(const Array *array, void *key, ArrayMatchFn fn);
/* The first true result of fn(key, element) as fn returned it, or 0. */
ZT_API uint8_t ArrayMatch(const Array *array, void *key, ArrayMatchFn fn);
/* The identity ArrayMatchFn: 1 when a equals b. */
ZT_API uint8_t ArrayElemsMatch(void *a, void *b);
/* Removes the first occurrence of element, keeping the order; returns its
 * index, or -1 when it is not there. The vector is not shrunk. */
ZT_API int ArrayDeleteElement(Array *array, void *element);
/* 1 when both hold the same values in the same order (both null: 1; one
 * null: 0; no vector counts as empty). */
ZT_API int ArraysMatch(const Array *a, const Array *b);
/* qsort of the count elements with cmp, which gets pointers to slots. */
ZT_API void ArraySort(Array *array, int (*cmp)(const void *, const void *));
/* Calls fn(array, element) for each element in order; fn must not add or
 * remove elements. */
ZT_API void ArrayEnum(Array *array, ArrayEnumFn fn);

/* ---- strings: building, words, patterns, address text: str.cc, zttools_str(3) ---- */

/* Where a string argument is required, a null one does nothing and gives
 * null (or 0, or -1, as each function says). */

/* Formats into a new heap string, or appends the text to base (which is then
 * reallocated: use only the result). The text is formatted into a buffer of
 * 512 bytes, or of the first multiple of 512 that holds it. Null on failure,
 * with errno (the allocator's or the formatter's, EOVERFLOW for a text too
 * long for an int, EINVAL for a null format); base is then untouched. */
ZT_API char *zt_buildstr(char *base, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Append to, or prepend to, the heap string *dst (null counts as empty);
 * *dst may move. Return the new *dst, or null when memory runs out (*dst is
 * then unchanged). strnappend takes at most n bytes of src and makes room
 * for all n. src and prefix may point into *dst itself. */
ZT_API char *strnappend(char **dst, const char *src, size_t n);
ZT_API char *strappend(char **dst, const char *src);
ZT_API char *strprepend(char **dst, const char *prefix);
/* A copy of s; when strlen(s) + strlen(extra) reaches max, at most
 * max - strlen(extra) bytes of it (all of it when extra is longer than max)
 * followed by "...". extra (may be null) is not copied: it is the room kept
 * for text the caller puts beside the result. */
ZT_API char *strduptruncate(const char *s, size_t max, const char *extra);
/* The elements of array (up to the first null one) joined with sep (null:
 * nothing) between neighbours; an empty array gives "". */
ZT_API char *strjoin(const Array *array, const char *sep);
/* A copy of s in which every run of white space that starts with a CR, LF,
 * tab or space becomes one space (not trimmed); null for an empty s. */
ZT_API char *strstripspace(const char *s);
/* A heap byte buffer held as a block pointer and a length (exactly that
 * many bytes; null and 0 when empty). memshift removes n bytes from the
 * front (all of them, or more, releases the block); memunshift opens n
 * bytes at the front for the caller to fill. A negative n, or one that
 * would overflow the length, changes nothing; so does a failed allocation
 * in memunshift. */
ZT_API void memshift(void **buf, int *len, int n);
ZT_API void memunshift(void **buf, int *len, int n);
/* free(p) unless p is null. */
ZT_API void drop(void *p);
/* realloc of *pp to size, stored back in *pp; null (pp null, or memory ran
 * out: the old block is then released and *pp is null). */
ZT_API void *resize(void **pp, size_t size);

/* Splits text into words separated by CR, LF, tab or space (a vertical tab
 * or form feed is part of a word). A word starting with ' or " runs to the
 * next same quote (or the end) and may hold anything; the closing quote
 * also ends it when more follows directly, and an empty quoted word is no
 * word. Returns one block, released with zt_tokens_free or free: *count + 1
 * pointer slots (the last null) and then a copy of text that the tokens
 * point into. Null for a null text (*count 0) or when memory runs out
 * (*count is still the number of words). count may be null. Traces each
 * word at diagnostic level 4. */
ZT_API char **zt_str2tokens(const char *text, int *count);
ZT_API void zt_tokens_free(char **tokens);
/* The next word of *cursor up to the first character of delims, as a new
 * string; *cursor moves past the run of delimiters after it, or becomes
 * null at the last word. Null when cursor or *cursor is null, or when
 * memory runs out (ENOMEM, *cursor unchanged). A string ending in
 * delimiters gives a last empty word. The string is not modified. */
ZT_API char *GetWord(char **cursor, const char *delims);
/* Pointers into s (isspace white space): its first non-space character,
 * and the start of the word after the one at s; each may be the NUL. */
ZT_API char *firstword(const char *s);
ZT_API char *nextword(const char *s);
/* Moves *cursor past isspace white space; a null cursor or *cursor is left. */
ZT_API void SkipSpace(char **cursor);
/* 1 when each of the first maxlen characters of s (all, for a negative
 * maxlen) has no bit outside mask (0: any) and is accepted by accept (given
 * the character as a signed char, like isalnum) or else occurs in allowed;
 * without either only the mask applies. 0 otherwise. */
ZT_API int IsValidStr(const char *s, int maxlen, uint8_t mask, const char *allowed,
                      int (*accept)(int));
/* Whether the len bytes of data begin with one of sigs, each signature a
 * length byte L (0 to 127) and L bytes; a data shorter than a signature
 * matches a beginning of it. nocase compares with tolower. 0 match, 1 no
 * match, -1 nothing compared (len 0, or every signature empty); 1 for a
 * null or empty sigs. A signature whose length byte is above 127 is skipped
 * like an empty one. */
ZT_API int CheckSig(const void *data, uint32_t len, const Array *sigs, int nocase);

/* 1 when a and b are equal ignoring case, else 0. */
ZT_API int Match(const char *a, const char *b);
/* 1 when s equals pattern ignoring case or, when pattern has an asterisk,
 * begins with the part before it (the rest of pattern is not looked at);
 * else 0. -1 when exactly one of them is null, 0 when both are. */
ZT_API int MatchPattern(const char *s, const char *pattern);
/* Appends to out the numbers text lists: items such as "7" or "10-12"
 * separated by white space or commas, "#" starting a comment up to the line
 * end. Returns out, or null (what was appended stays) on a bad character
 * after a number, a second hyphen in an item, a number outside the int
 * range (ERANGE), or when memory runs out (ENOMEM). A range whose end is
 * below its start adds nothing; a position without digits reads as 0. A
 * null text counts as empty; a null out gives null. Read by count: 0 is a
 * valid element. */
ZT_API Array *ParseNumRange(const char *text, Array *out);

/* One entry of a TagReplace table; a table ends with a tag of 0. */
typedef struct TagEntry {
    char tag;
    const char *replacement; /* null removes the tag */
} TagEntry;

/* text with each tagchar followed by a character c replaced by the first
 * table entry for c (a doubled tagchar stands for itself), as a new heap
 * string. Null for a null text, a tag without an entry (a tagchar at the
 * end included), when memory runs out, and when nothing at all was
 * produced (an empty text); a tagchar of 0 leaves text as it is. */
ZT_API char *TagReplace(const char *text, char tagchar, const TagEntry *table);

/* A zeroed bit set of (nbits - 1) / 8 + 1 bytes (one byte for 0 bits); bit i
 * is bit i % 8 of byte i / 8. Null when memory runs out. */
ZT_API uint8_t *BitsNew(size_t nbits);
/* Sets in bits (or a new set of strlen(s) bits when bits is null) the bit
 * of each '1' in s, the last character standing for bit 0; other bits stay.
 * Returns bits, or null when a new set cannot be allocated. */
ZT_API uint8_t *StrToBits(const char *s, uint8_t *bits);

/* Address text. Numeric addresses and masks here are in host order, the
 * first dotted part in the top byte (10.1.2.3 is 0x0A010203); a prefix
 * length p is the mask of the p top bits.
 *
 * parse_ip reads "A.B.C.D" or "A.B.C.D/P" as sscanf reads "%d": white space
 * before each number is taken, text after the last number is ignored, and
 * a missing or non-numeric prefix leaves an address without one. Returns 0
 * with *addr and *mask set (all ones without a prefix), or 1: nothing is
 * written when there are fewer than four parts or a part lies outside 0 to
 * 255; for a prefix outside 0 to 32, *addr holds the address and *mask all
 * ones. A number too large for an int is out of range, never wrapped. A
 * null argument is a failure too. errno is not set. */
ZT_API int parse_ip(const char *text, uint32_t *addr, uint32_t *mask);
/* "A.B.C.D", followed by "/K" when mask is not all ones and starts with
 * K > 0 one bits (only that leading run counts). A new heap string (32
 * bytes), or null when memory runs out. Not thread-safe (inet_ntoa). */
ZT_API char *ip2str(uint32_t addr, uint32_t mask);
/* "address:port", "any:port", "address" or "any" (a zero address or port is
 * left out); the family is not looked at. A new heap string, or null when
 * memory runs out or sa is null. Not thread-safe (inet_ntoa). */
ZT_API char *FormatSockaddr(const struct sockaddr_in *sa);
/* memcmp of the two 16-byte records, zero fill included: 0 when equal. A
 * null record compares equal to another null and below any record. */
ZT_API int CmpSockaddr(const struct sockaddr_in *a, const struct sockaddr_in *b);

/* ---- diagnostic dumps: dump.cc, zttools_dump(3) ------------------------- */

/* Debugging aids. A byte counts as printable by isprint (space included) or
 * as visible by isgraph (space excluded), taken as unsigned.
 *
 * DumpNString writes the n bytes to stderr, each printable byte as itself
 * and any other as "<0x%02x>"; a null s writes "(NULL)" and n 0 "(EMPTY)".
 * No newline follows. DumpString does the same for a string (null: length
 * 0). */
ZT_API void DumpNString(const char *s, size_t n);
ZT_API void DumpString(const char *s);
/* Writes a table to stderr, one line per four bytes: hex, decimal, the two
 * big-endian 16-bit values, the big-endian 32-bit value ("(end)" on a short
 * last row) and the visible bytes (others as "."). A short last row is not
 * padded, and no byte past len is read: its 16-bit values take 0 for the
 * bytes it lacks. A null buf writes "(NULL)\n", a len of 0 "(EMPTY)\n". */
ZT_API void DumpBuf(const void *buf, unsigned int len);
/* Renders the bytes into one static buffer and returns it: with mode
 * non-zero (text) printable bytes as themselves and others as "<0x%02x>";
 * with mode 0 (hex) each byte as "%02x:" and itself if visible or else ".",
 * then a space. The text stops after the first byte that brings it past
 * 8190 characters (so at most 8196). A null buf gives "(NULL)", a len of 0
 * "(EMPTY)" (constant texts), a negative len an empty text. The buffer is
 * shared with DumpAsciiAsStr and overwritten by the next call of either:
 * not reentrant, and it allocates nothing. */
ZT_API const char *DumpBufAsStr(const void *buf, int len, uint8_t mode);
/* DumpBufAsStr of the string in text mode (null: length 0). */
ZT_API const char *DumpAsciiAsStr(const char *s);

/* ---- atob codec: atob.cc, zttools_atob(3) ------------------------------- */

/* Binary data as printable text without spaces: every three bytes become
 * four characters from '!' (33) to '`' (96). The text ends with a
 * terminator character of the caller's choice; in text, "c" ends a decoding
 * run, "d" aborts it and "e" restarts the current group; space, tab and
 * line feed are ignored anywhere (a carriage return is not). */

/* A decoding stream's position inside its current group. Start every
 * stream from a copy of ATOB_Init. */
typedef struct ATOB_State {
    uint32_t reserved; /* not used by the codec */
    int phase;         /* characters of the current group consumed: 0 to 3 */
    uint8_t pack;      /* the group's first character minus 33 */
} ATOB_State;

/* Every field 0; never changed by the library. */
ZT_API extern const ATOB_State ATOB_Init;

/* Encodes the len bytes of buf in place, appends term and a NUL, and returns
 * the encoded length with the terminator: 4 per full group of three bytes,
 * r + 1 for a last group of r bytes, plus one. buf must hold
 * 4 * ceil(len / 3) + 2 bytes. Returns -1, writing nothing, for a null buf,
 * a negative len, or a len whose encoding would not fit an int. */
ZT_API int atobEncode(char *buf, int len, char term);
/* Decodes the *len characters of buf in place, carrying an unfinished
 * group in state from call to call, so that text may be split anywhere.
 * *len becomes the number of bytes decoded. Returns 0 when all characters
 * were taken; the position after a "c" (which stops the call, its group
 * still pending); -1 when the text holds "d" (*len 0: this call's bytes
 * are discarded). A null state or len, or a null buf with characters to
 * read, gives -1 with *len untouched. Other characters are not checked:
 * they decode by the same rule, their code minus 33 taken modulo 256. */
ZT_API int atobDecode(ATOB_State *state, char *buf, int *len);

/* ---- sockets and descriptor I/O: io.cc, zttools_io(3) ------------------- */

/* IPv4 sockets of every kind the services use, local sockets at a path,
 * and text over raw descriptors. Descriptors are ints, -1 on failure; the
 * caller owns and closes every descriptor returned, and a constructor that
 * fails closes whatever it had opened. Ports given as numbers are in host
 * order (the low 16 bits count); address records are used as they are.
 * Traces name the file "src/lib/zttools/io". */

/* The O_NONBLOCK bit of fd's status flags (0 or 0x800), or -1 with an error
 * trace. */
ZT_API int socket_is_nb(int fd);
/* Makes fd non-blocking (nonblocking != 0) or blocking, writing the flags
 * only when the mode changes; 0, or -1 with an error trace and errno from
 * fcntl. */
ZT_API int socket_set_nb(int fd, int nonblocking);
/* A TCP socket listening on port of every address (backlog 256, no
 * options). For a service that cannot run without it: on failure logs at
 * LOG_ERR and ends the process with status 1. */
ZT_API int open_socket(int port);
/* A socket bound to port of every address: protocol IPPROTO_TCP (then
 * listening with backlog) or IPPROTO_UDP. With reuse non-zero SO_REUSEADDR
 * is set first, with bufsize > 0 both buffer sizes. -1 on failure, logged
 * at LOG_USER | LOG_ERR, except for another protocol (-1, EINVAL, no
 * record, no socket). */
ZT_API int OpenListenSocket(uint16_t port, int protocol, uint8_t reuse, int backlog, int bufsize);
/* A UDP socket bound to port of every address (0: the system chooses),
 * connected to peer when one is given; its bound address goes to local when
 * one is given. -1 on failure. */
ZT_API int NewUdpRecvSocket(uint16_t port, const struct sockaddr_in *peer,
                            struct sockaddr_in *local);
/* An unbound UDP socket, connected to peer when one is given; -1. */
ZT_API int NewUdpSendSocket(const struct sockaddr_in *peer);
/* A TCP connection to peer (blocking until made or refused), from local
 * when given, with both buffer sizes set when bufsize > 0. -1 on failure
 * (EINVAL for a null peer). */
ZT_API int NewTcpSendSocket(const struct sockaddr_in *peer, const struct sockaddr_in *local,
                            int bufsize);
/* A local socket of type bound to path, listening when backlog > 0 (a
 * datagram socket takes 0). Whatever was at path is removed first; the
 * socket file stays after close. -1 on failure: EINVAL for a null or empty
 * path, ENAMETOOLONG (nothing removed) for one of more than 108 characters;
 * a failure to remove other than ENOENT comes before a socket is made. */
ZT_API int NewNamedPipe(const char *path, int type, int backlog);
/* SO_SNDBUF, then SO_RCVBUF, to size; 0, or -1 at the first failure. */
ZT_API int SetBufSize(int fd, int size);
/* SO_REUSEADDR on; setsockopt's result. */
ZT_API int SetReuseAddr(int fd);

/* Proxied UDP (flag MSG_PROXY, 0x10): the socket address is 16 bytes, two
 * leading halves of sockaddr_in, family AF_INET in each. Sending, the first
 * half is the destination and the second the source the datagram is to
 * carry; receiving, the sender and the destination it addressed. Whether
 * the kernel honours the second half is its own affair.
 *
 * SendProxiedUdp: sendto of len bytes to to, carrying from (only ports and addresses are
 * read); sendto's result (-1, EINVAL for a null record). */
ZT_API ssize_t SendProxiedUdp(int fd, const struct sockaddr_in *from, const struct sockaddr_in *to,
                              const void *buf, size_t len);
/* recvfrom of at most len bytes; from and to (each may be null: not filled)
 * become AF_INET records of the two halves, zero-filled, even when the
 * receive fails. recvfrom's result. */
ZT_API ssize_t RecvProxiedUdp(int fd, struct sockaddr_in *from, struct sockaddr_in *to, void *buf,
                              size_t len);

/* Writes the formatted text to fd in one write; a failed or short write is
 * reported on stderr as "couldn't write to FD (ERROR)" and not retried.
 * Nothing is written when the text cannot be formatted (or format is null). */
ZT_API void fdprintf(int fd, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* The state of one line stream, kept by zt_getline in the caller's record.
 * Start (or reset) a stream with next null and len 0. buf holds size + 1
 * bytes, size being the same in every call on the stream. */
typedef struct LineBuf {
    char *buf;    /* the caller's buffer */
    char *next;   /* first buffered byte no line has taken, or null: read next */
    uint32_t len; /* valid bytes from buf, at most size */
} LineBuf;

/* zt_getline's status codes. */
#define ZT_LINE_OK 0      /* a line with its newline is in line */
#define ZT_LINE_FULL 1    /* size bytes without a newline are in line */
#define ZT_LINE_EINTR 2   /* the read was interrupted by a signal */
#define ZT_LINE_EOF 3     /* the read found the end of the stream */
#define ZT_LINE_ERROR 4   /* the read failed (errno), EAGAIN included */
#define ZT_LINE_PARTIAL 5 /* no whole line yet: call again when readable */

/* Hands out the next line of fd into line (size + 1 bytes, NUL-terminated)
 * and sets *status. Reads at most once per call, never while a whole line
 * is buffered, and never allocates. Returns 0 (status 0, 1 or 5) or 1
 * (status 2, 3 or 4: the partial line held is dropped). A newline after a
 * NUL byte is not seen until the buffer is full. A null line, lb or buf, a
 * size of 0, or a record that breaks its own rules (len above size, next
 * outside the valid data) is a failure: status 4, EINVAL, the stream
 * reset. A null status is not written. */
ZT_API int zt_getline(int fd, uint32_t size, char *line, LineBuf *lb, int32_t *status);
/* Copies the leading run of non-space characters of src (isspace) into dst,
 * at most size - 1 of them, and a NUL; leading space gives "". A null src
 * counts as empty; a size of 0 or a null dst writes nothing. */
ZT_API void zt_getword(const char *src, char *dst, size_t size);

/* A zero-filled block of the caller's size, owned by the record. */
typedef struct DataView {
    void *data;
    uint32_t user1; /* set to 0 by DataViewNew, otherwise the caller's */
    uint32_t user2;
} DataView;

/* Initialises view (null: a new record from malloc, null when that fails)
 * with a new zero-filled block of size bytes (data null when that fails);
 * a block that view held before is not released. */
ZT_API DataView *DataViewNew(DataView *view, size_t size);
/* Frees view's block (not the record, and data is left as it was). */
ZT_API void DataViewDelete(DataView *view);

/* ---- interfaces, routes, roles and ARP: netif.cc, zttools_netif(3) ------ */

/* The platform's request records, from <net/route.h> and <net/if_arp.h>. */
struct rtentry;
struct arpreq;

/* Interface, route and ARP-table requests. Interface names have at most 15
 * characters: a null or longer name fails the request (EINVAL, ENODEV)
 * before anything is asked. Most requests go over one control socket that
 * the first of them opens (close-on-exec, never closed; a failed opening is
 * tried again by the next request); when it cannot be opened the request
 * fails with the errno of socket. Each sequence stops at its first failed
 * step, with that step's errno, and undoes nothing. */

/* Sets the interface up (sifup) or down (sifdown), asking for
 * IFF_POINTOPOINT too; every other flag stays. 1 done, 0 failed. */
ZT_API int sifup(const char *name);
ZT_API int sifdown(const char *name);
/* Sets the local and the point-to-point destination address, the netmask
 * unless mask is 0, then adds a host route to peer through the interface.
 * 1 done; 0 failed (also when that host route exists already). */
ZT_API int sifaddr(const char *name, uint32_t local, uint32_t peer, uint32_t mask);
/* Publishes a permanent proxy-ARP entry for addr with the hardware address
 * of the first interface in the kernel's list (only the one called name,
 * unless name is null) that is up, broadcast, uses ARP, is neither
 * loopback nor point-to-point, and has addr on its subnet. mask goes into
 * the entry's netmask (the kernel, not told to use it, publishes addr
 * alone). 1 done; 0 failed (ENXIO when no interface fits). */
ZT_API int sifproxyarp(const char *name, uint32_t addr, uint32_t mask);
/* Withdraws the published entry for addr, on whichever interface with an
 * address holds it; the first argument is not used. 1 done, 0 failed. */
ZT_API int cifproxyarp(uint32_t unused, uint32_t addr);
/* Looks up the ARP entry of addr into req, which is cleared first (nothing
 * the caller put there is read). A kernel that needs an interface for the
 * look-up (Linux: ENODEV) is asked again on each interface with an IPv4
 * address in turn; the first answer fills req, arp_dev naming the
 * interface. 0 done; -1 failed with the errno of the first refusal (EINVAL
 * for a null req). */
ZT_API int get_arp_info(uint32_t addr, struct arpreq *req);
/* Issues a routing request (SIOCADDRT, SIOCDELRT) for dst/mask through
 * gateway with exactly these flags (RTF_UP, RTF_GATEWAY, RTF_HOST ...), on
 * the interface dev (null: the kernel chooses). 1 done, 0 failed. */
ZT_API int route_cmd(unsigned long request, const char *dev, uint32_t dst, uint32_t mask,
                     uint32_t gateway, uint16_t flags);

/* An interface's device map, laid out as the platform's struct ifmap. */
typedef struct IfMap {
    unsigned long mem_start;
    unsigned long mem_end;
    unsigned short base_addr;
    unsigned char irq;
    unsigned char dma;
    unsigned char port;
} IfMap;

/* An interface's device map and hardware address. */
typedef struct IfInfo {
    IfMap map;               /* as the kernel reports it */
    uint32_t hw_high;        /* hardware address bytes 0, 1, 2 as one number */
    uint32_t hw_low;         /* bytes 3, 4, 5 likewise */
    unsigned char hwaddr[6];
    char hwaddr_text[13];    /* 12 lowercase hex digits: "001a2b3c4d5e" */
} IfInfo;

/* Fills info (cleared first) on a socket of its own. 1 done; 0 failed:
 * null info, or the map (then all zero) or the hardware address (then only
 * the map is filled) cannot be read. */
ZT_API int get_if_info(const char *name, IfInfo *info);
/* Reads the interface's hardware address into hw (6 bytes; null only
 * checks it) through fd, any socket that takes interface requests. 0, or
 * -1 with the syslog record "if_hwaddr: SIOCGIFHWADDR error (...)". */
ZT_API int if_hwaddr(int fd, const char *name, unsigned char *hw);
/* Rewrites the address and port of addr with those of repl when its port
 * is that of match and its address that of match, or any address when
 * match has 255.255.255.255. Families are not looked at. 1 if rewritten,
 * else 0 (also for a null record). */
ZT_API int nat_translation1(const struct sockaddr_in *match, const struct sockaddr_in *repl,
                            struct sockaddr_in *addr);

/* Routes and roles, from "/proc/net/route" read afresh at every call. The
 * route selected for an address is, among the lines whose route is up,
 * covers the address and does not leave through "ipsec0": the first host
 * route; else the network route of the greatest mask (the first of equal
 * ones); else the default route. A route record handed out has only the
 * address parts of rt_dst, rt_gateway and rt_genmask set (families 0), the
 * kernel's flags, and rt_dev pointing to a buffer of the library's (the
 * name cut to 19 characters) that the next route look-up overwrites. Not
 * reentrant. The second argument of route and route_laddr is not used. */
ZT_API int route(uint32_t dest, uint32_t unused, struct rtentry *out);
/* 1 if a route is selected for addr and its interface name begins with
 * ifname (eth1 covers eth10 and eth1:0; "" covers any), else 0. */
ZT_API int is_on_net(uint32_t addr, const char *ifname);
/* The roles' networks: eth1 trusted, eth2 optional, eth3 to eth5 the
 * further optional ones (eth0 is the external network). */
ZT_API int is_on_trusted_net(uint32_t addr);
ZT_API int is_on_optional_net(uint32_t addr);
ZT_API int is_on_optional2_net(uint32_t addr);
ZT_API int is_on_optional3_net(uint32_t addr);
ZT_API int is_on_optional4_net(uint32_t addr);
/* The address of the interface of the route selected for dest (the route
 * copied to out when given), or 0: no route, or the address cannot be read
 * (syslog record "Unable to get dev IP address for (NAME): ..."). */
ZT_API uint32_t route_laddr(uint32_t dest, uint32_t unused, struct rtentry *out);

/* A static route as routing requests take it. */
typedef struct NetRouteInfo {
    uint32_t flags;       /* RTF_UP | RTF_GATEWAY, and RTF_HOST for a host */
    uint32_t destination;
    uint32_t netmask;     /* 255.255.255.255 for a host */
    uint32_t gateway;
} NetRouteInfo;

/* Parses "host DEST GATEWAY" (host in any case) or "WORD DEST MASK
 * GATEWAY", words separated by any white space (" \t\n\v\f\r"). A word that is not an address (inet_aton), or longer than 79
 * characters, leaves its field as it was; so does a missing gateway of the
 * second form. Words after the fourth are ignored. 0, or -1 for a null
 * argument or fewer than three words. */
ZT_API int networking_routes_info(const char *text, NetRouteInfo *out);
/* 1 if a and b agree on every bit of mask, else 0. */
ZT_API int same_net(uint32_t a, uint32_t b, uint32_t mask);
/* "eth0", "eth1", "eth2" for exactly "external", "trusted", "optional";
 * any other name itself; null for null. */
ZT_API const char *translate_device(const char *name);

/* Drop-in mode: on when the file ZT_DROPIN_FILE holds three words (each at
 * most 19 characters): an address, the drop-in network and its mask. Read
 * once, by the first call, for the rest of the process; a file with fewer
 * or longer words gives the syslog record "bad drop-in mode, weird data in
 * /tmp/dropin" and mode off, a missing file mode off silently. A word that
 * is no address reads as 0.0.0.0. */
#define ZT_DROPIN_FILE "/tmp/dropin"
/* 1 when on (the given pointers receive the three values), 0 when off. */
ZT_API int get_dropin_info(uint32_t *address, uint32_t *network, uint32_t *netmask);
/* 1 when on and addr AND the mask equals the network, else 0. */
ZT_API int in_dropin_net(uint32_t addr);

/* Whole Ethernet ARP frames (42 bytes) sent through a link-level packet
 * socket, socket(AF_INET, SOCK_PACKET, htons(ETH_P_ARP)), on the interface
 * named (cut to 13 characters). Addresses are copied as given. */

/* Sends opcode op (host order) from sender_ip to target_ip; a null eth_dst
 * is broadcast, a null eth_src (also the sender hardware address) or
 * target_hw all zero. 42 when sent, -1 on failure (EINVAL for a null
 * ifname). */
ZT_API int arp_send(int fd, const char *ifname, uint16_t op, uint32_t target_ip,
                    uint32_t sender_ip, const unsigned char *eth_dst,
                    const unsigned char *eth_src, const unsigned char *target_hw);
/* Broadcasts a request for target_ip from sender_ip and the interface's own
 * hardware address (all zero, after the if_hwaddr record, when it cannot be
 * read), on fd or, when fd is negative, on a packet socket of its own for
 * the call. 42 when sent; 0 for an interface without ARP (nothing sent);
 * -1 on failure (EINVAL for a null ifname). */
ZT_API int arp_req(int fd, uint32_t target_ip, uint32_t sender_ip, const char *ifname);

/* ---- linked list: list.cc, zttools_list(3) ------------------------------ */

/* A doubly linked list of caller-owned elements, which it never copies,
 * looks at or frees. There is no list record: the caller keeps a pointer to
 * the first link (null: empty list); functions that may change the first
 * link take its address (the handle), the others a link to start from.
 *
 * Removal is safe during iteration: the number of iterations in progress is
 * kept in the first link, and while it is not 0 a removal only marks the
 * link (LIST_LINK_REMOVED). The call that brings the count back to 0 unlinks
 * and frees the marked links (the purge). Searches, counts and walks pass
 * over marked links. The count guards against re-entry from callbacks on
 * the walking thread only: a list that threads share needs its user's lock,
 * held over whole walks. No errno is set but the allocator's, and a null
 * callback makes a call do nothing (its null or 0 result). */

#define LIST_LINK_REMOVED 2

typedef struct list_link {
    void *elem;                 /* the caller's element; may be null */
    uint8_t flags;              /* 0 or LIST_LINK_REMOVED */
    uint16_t iter_count;        /* iterations in progress; only the first link's counts */
    struct list_link *prev;     /* null in the first link */
    struct list_link *next;     /* null in the last link */
} list_link;

/* placement(new element, element of a link): 0 equal (do not insert), -1
 * insert before that link, 1 insert right after it, any other value: go on
 * to the next link. A callback that keeps a list ascending returns -1, 0 or
 * 2 (not 1, which would put the element right after the first smaller one). */
typedef int (*list_placement_fn)(void *new_elem, void *elem);
/* match(key, element): 0 when the element matches. */
typedef int (*list_match_fn)(const void *key, void *elem);
/* Iteration callbacks get the element and its position: the index of its
 * link counted from the first link, marked links and links holding null
 * included (so the positions seen can have gaps). list_iterate stops at a
 * non-zero result; list_iterate_del removes the link for a non-zero one. */
typedef int (*list_iter_fn)(void *elem, int position, void *arg);
typedef int (*list_iter_del_fn)(void *elem, int position, void *arg1, void *arg2);

/* New link in front of the list, or at its end: the new link, or null
 * (list unchanged) for a null handle or when memory runs out. A link pushed
 * in front takes over the iteration count. */
ZT_API list_link *list_push(void *elem, list_link **list);
ZT_API list_link *list_append(void *elem, list_link **list);
/* Walks the links from the first (marked ones included) asking placement
 * where elem goes; past the last link it is appended. The placement is not
 * asked on an empty list, so it may be null there. The new link, or null for
 * a null handle, an equal element, a null placement on a list with links, or
 * when memory runs out (list unchanged). */
ZT_API list_link *list_insert(void *elem, list_link **list, list_placement_fn placement);
/* Removes the first unmarked link and returns its element; null for a null
 * handle or when no unmarked link is left. (Outside an iteration that is the
 * first link; inside one, successive pops take successive elements.) */
ZT_API void *list_pop(list_link **list);
/* Removes the first unmarked link whose element matches the key (match is
 * also called for marked links, whose result is ignored) and returns its
 * element; null if none matched. */
ZT_API void *list_del(const void *key, list_link **list, list_match_fn match);
/* Removes the first unmarked link holding exactly this pointer: 1, or 0 if
 * none does; -1 for a null handle or an empty list. */
ZT_API int list_del_link(const void *elem, list_link **list);
/* From link on, the first element that list_peek yields and that matches;
 * null if none. match also sees the null that list_peek yields for a link
 * holding null or at the end (then the search ends). */
ZT_API void *list_find_element(const void *key, list_link *link, list_match_fn match);
/* From link on, the first link whose list_peek is exactly elem; null if none. */
ZT_API list_link *list_find_link(const void *elem, list_link *link);
/* Calls callback for each unmarked link holding an element, from the first
 * link on, with the iteration count raised: the callback may push, append,
 * insert and remove (links pushed in front are not visited, links added
 * behind are). Returns the first non-zero result (which ends the walk), or 0;
 * the purge runs at the end either way. */
ZT_API int list_iterate(list_link **list, list_iter_fn callback, void *arg);
/* The same walk, never stopped early; each link whose callback result is
 * non-zero is removed (its element is not freed). */
ZT_API void list_iterate_del(list_link **list, list_iter_del_fn callback, void *arg1, void *arg2);
/* Unmarked links from link to the end (links holding null count); 0 for null. */
ZT_API int list_length(list_link *link);
/* New null-terminated table (free it) of the elements of the unmarked links
 * from link on, in order, stopping before the first null element; their
 * number goes to *count when count is not null. Null when memory runs out
 * (*count is then not written). */
ZT_API void **list_2_table(list_link *link, int *count);
/* The element of the first unmarked link at or after link; null if none. */
ZT_API void *list_peek(list_link *link);
/* The first unmarked link strictly after link; null if none. */
ZT_API list_link *list_next(list_link *link);
/* A walk of one's own with list_peek and list_next that may remove links:
 * list_iter_set on the first link before, list_iter_clear on the handle
 * after, which purges when the count gets back to 0. At most 65535
 * iterations may be in progress on one list. list_iter_set of null and
 * list_iter_clear of an empty list do nothing, nor does a clear lower a
 * count that is already 0. */
ZT_API void list_iter_set(list_link *link);
ZT_API void list_iter_clear(list_link **list);

/* ---- hash table: hash.cc, zttools_hash(3) ------------------------------- */

/* A chained hash table of caller-owned keys and data, with a bucket count
 * fixed at creation (no growth: create large tables with a fitting count).
 * Each bucket is a list of hash_entry records, newest first; equal keys are
 * not merged, every hash_add makes an entry. The table frees only its own
 * records, never keys or data. Iteration callbacks may add, look up and
 * delete entries of the same table: deleted entries vanish from lookups at
 * once, their links are freed when the walk of their bucket ends. */
typedef struct hash_entry {
    const void *key;
    void *data;
    uintptr_t metadata;  /* the caller's word: 0 until hash_set_metadata */
} hash_entry;

/* hash(key): any int. */
typedef int (*hash_key_fn)(const void *key);
/* index(hash value, bucket count, bucket array): a bucket index from 0 to
 * count - 1; any other value means the key has no bucket. */
typedef int (*hash_index_fn)(int hash, int count, list_link **buckets);
/* compare(key sought, entry's key): 0 when equal. */
typedef int (*hash_compare_fn)(const void *key, const void *entry_key);
/* Iteration callbacks get the entry's data and its position in its bucket
 * (counted as for lists). */
typedef int (*hash_iter_fn)(void *data, int position, void *arg);
typedef int (*hash_iter_del_fn)(void *data, int position, void *arg1, void *arg2);

typedef struct hash_table {
    int32_t size;                /* number of buckets, at least 1 */
    hash_key_fn hash_fn;
    hash_index_fn index_fn;
    hash_compare_fn compare_fn;
    list_link **buckets;         /* size lists of hash_entry */
} hash_table;

/* A table of count buckets (127 when count is 0 or below); index null
 * selects hash_mult_func. Null when memory runs out, or with errno EINVAL
 * when hash or compare is null. */
ZT_API hash_table *hash_create(int count, hash_key_fn hash, hash_index_fn index,
                               hash_compare_fn compare);
/* Adds an entry in front of the key's bucket (index(hash(key))): the bucket
 * index, or -1 with errno EINVAL (null table), EDOM (no bucket for the key)
 * or ENOMEM; the table is then unchanged. */
ZT_API int hash_add(hash_table *table, const void *key, void *data);
/* The data of the newest entry whose key compares equal; null if none (or
 * when its data is null). */
ZT_API void *hash_find_element(hash_table *table, const void *key);
/* The metadata of that entry; 0 if none. */
ZT_API uintptr_t hash_get_metadata(hash_table *table, const void *key);
/* Sets the metadata of every entry whose key compares equal. */
ZT_API void hash_set_metadata(hash_table *table, const void *key, uintptr_t value);
/* Calls callback for every entry, bucket by bucket from index 0, newest
 * first; returns the first non-zero result (which ends the walk), or 0. */
ZT_API int hash_iterate(hash_table *table, hash_iter_fn callback, void *arg);
/* Calls callback for every entry; the entries it returns non-zero for are
 * removed (free their key and data in the callback if they are yours).
 * Always 0. */
ZT_API int hash_iterate_del(hash_table *table, hash_iter_del_fn callback, void *arg1,
                            void *arg2);
/* Number of entries; -1 for a null table. */
ZT_API int hash_length(hash_table *table);
/* Removes every entry whose key compares equal. Always 0. */
ZT_API int hash_del_element(hash_table *table, const void *key);
/* Frees the table and its entries (not keys or data); null does nothing. */
ZT_API void hash_del(hash_table *table);

/* Ready-made callbacks. hash_int: the int32_t the key points to (-1 for
 * null). hash_atoi: the sum of (signed char) c + 65599 over the string's
 * characters, wrapping (0 for "", 197091 for "abc"); -1 for null.
 * hash_intcmp: 0, 1 or -1 as the first int32_t is equal to, greater or
 * smaller than the second (null is equal to null and smaller than any). */
ZT_API int hash_int(const void *key);
ZT_API int hash_atoi(const void *key);
ZT_API int hash_intcmp(const void *a, const void *b);
/* Index callbacks. hash_mult_func: the fractional part (signed) of hash *
 * 0.6180339887 times count, truncated; -1 when outside 0 .. count - 1 (most
 * negative hash values); the bucket array is not looked at. Each step is
 * rounded as double arithmetic rounds it, on every target alike (an i386
 * build does not keep the x87's wider intermediate results).
 * hash_double_func: h = hash % count if that bucket is empty, else the first
 * empty bucket of (h + k * (h + 1)) % count for k = 1 .. count - 1, else h;
 * -1 with errno EDOM for a negative remainder (or a count below 1). A null
 * bucket array counts as all empty. */
ZT_API int hash_mult_func(int hash, int count, list_link **buckets);
ZT_API int hash_double_func(int hash, int count, list_link **buckets);

/* ---- balanced tree: tree.cc, zttools_tree(3) ---------------------------- */

/* An ordered tree of caller-owned items. Every node counts the nodes of its
 * subtree, so the node of any rank (0-based position in sorted order) can be
 * rotated to the top; that is how the tree is balanced, and only when the
 * caller asks: insertion and deletion never rebalance.
 *
 * Empty subtrees are &zt_tree_null, never null; a tree is held as a pointer
 * to its root, the empty tree being ZT_TREE_EMPTY. Functions that return a
 * root expect it stored in place of the root passed. A null root counts as
 * the empty tree everywhere (an insertion into an empty tree that runs out of
 * memory returns null). The tree frees its nodes, never the items. */
typedef struct zt_tree_node {
    int32_t count; /* nodes in this subtree, this one included */
    void *item;
    struct zt_tree_node *left;  /* items that sort before item */
    struct zt_tree_node *right; /* items that sort after item */
} zt_tree_node;

/* The shared empty subtree: count 0, every pointer null. Read-only: nothing
 * ever writes it, so separate trees may live on separate threads. */
ZT_API extern const zt_tree_node zt_tree_null;
#define ZT_TREE_EMPTY ((zt_tree_node *)&zt_tree_null)

/* Walk orders; any other value visits nothing. */
#define ZT_TREE_INORDER 0   /* left, node, right: sorted order */
#define ZT_TREE_PREORDER 1  /* node, left, right */
#define ZT_TREE_POSTORDER 2 /* left, right, node: the visit may free the node */

/* compare(new item or key sought, item of a node): negative sorts before the
 * node's item, positive after it, 0 equal. Finding, insertion and deletion
 * call it once for each node of the key's path, down to the equal item or
 * an empty subtree; a change then follows the counts back down. */
typedef int (*zt_tree_compare)(const void *key, const void *item);
/* Called with each node (not the item); the result is ignored. */
typedef int (*zt_tree_visit)(zt_tree_node *node, void *arg);
/* Writes the node's text, line end included, to stream; result ignored. */
typedef int (*zt_tree_print)(const zt_tree_node *node, FILE *stream);

/* A single-node tree (malloc), or null when memory runs out. */
ZT_API zt_tree_node *zt_tree_new(void *item);
/* Adds item unless an equal one is present (then nothing changes, not even a
 * count). Into an empty tree: the new node, or null without memory; below an
 * existing node a failed allocation leaves the tree and its counts as they
 * were (errno ENOMEM). A null compare changes nothing. */
ZT_API zt_tree_node *zt_tree_insert(zt_tree_node *root, zt_tree_compare compare, void *item);
/* The node whose item equals key, or null. Never calls compare on an empty
 * tree. */
ZT_API zt_tree_node *zt_tree_find(zt_tree_node *root, zt_tree_compare compare, const void *key);
/* Removes and frees the node whose item equals key (a node with two subtrees
 * gives way to the smallest node on its right); a missing key changes
 * nothing. ZT_TREE_EMPTY when the tree becomes empty. */
ZT_API zt_tree_node *zt_tree_delete(zt_tree_node *root, zt_tree_compare compare, const void *key);
/* One tree of both; every item of left must sort before every item of right.
 * The smallest node of right becomes the root (right alone: left itself). */
ZT_API zt_tree_node *zt_tree_join(zt_tree_node *left, zt_tree_node *right);
/* Rotates the node of rank k (0 <= k < root's count) to the root. A rank
 * out of range returns the tree unchanged. */
ZT_API zt_tree_node *zt_tree_partition(zt_tree_node *root, int k);
/* Rearranges the tree so that at every node the two subtree counts differ by
 * at most 1, the left one being the larger: the node of rank count / 2 is
 * the root. */
ZT_API zt_tree_node *zt_tree_balance(zt_tree_node *root);
/* Single rotations: the former left (right) child becomes the subtree's root,
 * counts kept right. A node without that child is returned unchanged. */
ZT_API zt_tree_node *zt_tree_rotate_right(zt_tree_node *node);
ZT_API zt_tree_node *zt_tree_rotate_left(zt_tree_node *node);
/* Calls visit(node, arg) for every node in the given order. In post-order a
 * node is not read after its visit, so the visit may free it (and its item):
 * that is how a whole tree is released. The walks recurse as deep as the
 * tree is high: balance a long list-shaped tree before walking it. */
ZT_API void zt_tree_iter(zt_tree_node *root, zt_tree_visit visit, int order, void *arg);
/* The same walk, printing: before print(node, stream) it writes one space per
 * level, the root's level being indent and each level down one more. It
 * writes no line ends of its own. A null print or stream writes nothing. */
ZT_API void zt_tree_dump(zt_tree_node *root, zt_tree_print print, int order, FILE *stream,
                         int indent);

/* ---- circular queue: cqueue.cc, zttools_cqueue(3) ----------------------- */

/* A ring of capacity fixed-size slots passing byte records first in, first
 * out. It never refuses an item: when full, a new item discards the oldest.
 * One slot always stays free, so a queue of capacity N holds at most N - 1
 * items (capacity 1: none). Only ztcq_init allocates. */

#define ZTCQ_OK 0
#define ZTCQ_ERROR (-1) /* null queue or argument, length below 1, no memory */
#define ZTCQ_TOO_LONG 1 /* the item is longer than a slot */
#define ZTCQ_EMPTY 3    /* nothing to dequeue, peek or copy out */

typedef struct ztcq_slot {
    int32_t len; /* bytes of the item held */
    void *data;  /* slot_size bytes of storage, fixed for the queue's life */
} ztcq_slot;

/* The record is the caller's; the queue allocates block and slots. */
typedef struct ztcq_queue {
    int32_t write_index; /* slot the next enqueue hands out */
    int32_t read_index;  /* slot of the oldest item */
    int32_t capacity;
    int32_t slot_size;
    int32_t count; /* items queued, at most capacity - 1 */
    void *block;   /* capacity * slot_size zero-filled bytes */
    ztcq_slot *slots;
} ztcq_queue;

/* Sets the queue up empty. ZTCQ_ERROR, with nothing allocated, for a null
 * queue, a negative slot size, a capacity below 1 (nothing changes then) or
 * when memory runs out (block and slots stay null). Slots of size 0 carry
 * only empty items, enqueued in place. */
ZT_API int ztcq_init(ztcq_queue *queue, int slot_size, int capacity);
/* Hands out the next free slot through *slot, already counted as an item
 * (discarding the oldest when full); the caller fills data and len. */
ZT_API int ztcq_enqueue(ztcq_queue *queue, ztcq_slot **slot);
/* The oldest item's slot through *slot, which leaves the queue (its contents
 * stay readable until the slot is handed out again), or ZTCQ_EMPTY. */
ZT_API int ztcq_dequeue(ztcq_queue *queue, ztcq_slot **slot);
/* As ztcq_dequeue, but the item stays. */
ZT_API int ztcq_peek(ztcq_queue *queue, ztcq_slot **slot);
/* Enqueues a copy of the len bytes; ZTCQ_TOO_LONG, changing nothing, when
 * len exceeds the slot size. */
ZT_API int ztcq_copyto_queue(ztcq_queue *queue, const void *bytes, int len);
/* Dequeues into buf, which has room for *len bytes; *len becomes the bytes
 * copied. A longer item is cut to the room and its rest is lost. */
ZT_API int ztcq_copyfrom_queue(ztcq_queue *queue, void *buf, int *len);
/* Withdraws the most recent enqueue (none when the queue is empty); an
 * oldest item that it discarded stays discarded. */
ZT_API int ztcq_cancel(ztcq_queue *queue);
/* Empties the queue; the slots keep their contents. ZTCQ_ERROR for null. */
ZT_API int ztcq_reset(ztcq_queue *queue);
/* Items queued, or -1 for a null queue. */
ZT_API int ztcq_get_size(const ztcq_queue *queue);
/* Frees the slot storage and zeroes the record (not freed: it is the
 * caller's), which may then be initialised again. Null: nothing. On a
 * record so cleared, or one whose ztcq_init failed, enqueueing, dequeueing,
 * peeking and copying give ZTCQ_ERROR. */
ZT_API void ztcq_destroy(ztcq_queue *queue);

/* ---- socket buffer: sockbuf.cc, zttools_sockbuf(3) ---------------------- */

/* A growable byte buffer on one socket, for input (whatever is pending,
 * never waiting, handed out as lines or pieces) or output (bytes collected
 * and sent in one write). The block is resized to exactly the bytes held.
 * The buffer never closes its socket. Every function takes a null record:
 * the writes and SockBufDelete then do nothing, the others return null, -1
 * or SOCKBUF_ERROR. Strings returned are new (malloc) and NUL-terminated. */

#define SOCKBUF_OK 0     /* bytes were appended */
#define SOCKBUF_NODATA 1 /* nothing pending, or the peer has shut down */
#define SOCKBUF_ERROR 2  /* null record, or a failed FIONREAD, resize or recv (errno) */

typedef struct SockBuf {
    int sock;      /* -1 when none is set */
    char *bytes;   /* null until the first read or write */
    int32_t len;   /* buffered bytes, at the start of bytes */
} SockBuf;

/* Initialises buf (overwriting, freeing nothing), or with null allocates a
 * record (null when memory runs out). */
ZT_API SockBuf *SockBufNew(SockBuf *buf);
/* Frees the block and the record, which must come from SockBufNew(NULL). */
ZT_API void SockBufDelete(SockBuf *buf);
/* Ties buf to sock (the buffered bytes stay) and returns buf. */
ZT_API SockBuf *SockBufSetSocket(SockBuf *buf, int sock);
/* Appends what the socket has pending (FIONREAD), at most max bytes when max
 * is above 0: SOCKBUF_NODATA when nothing is pending, so it never waits. On
 * SOCKBUF_ERROR the buffered bytes stay. */
ZT_API int SockBufReadMax(SockBuf *buf, int max);
ZT_API int SockBufRead(SockBuf *buf);
/* Takes the first line with its line end (CR, LF, CR LF or LF CR) out of the
 * buffer; null when no line end comes before a zero byte or the end. After
 * it, a zero byte follows the bytes left. */
ZT_API char *SockBufGetLine(SockBuf *buf);
/* Reads, then looks for a line, until a line is found or a read gives
 * nothing (status SOCKBUF_NODATA) or fails. It reads before it looks: lines
 * already buffered come out with SockBufGetLine. status may be null. */
ZT_API char *SockBufReadLine(SockBuf *buf, int *status);
/* Takes the first n bytes out (0 <= n <= len, else null): the string ends at
 * the first zero byte among them. A zero byte follows the bytes left. For
 * n = 0 the block must first grow by that byte: without memory for it the
 * result is null and nothing changes. */
ZT_API char *SockBufGetStr(SockBuf *buf, int n);
/* The buffered bytes (null before the first read or write) and their
 * number, in place: nothing is taken out. */
ZT_API char *SockBufPtr(SockBuf *buf);
ZT_API int SockBufLen(SockBuf *buf);
/* Empties the buffer, keeping its block. */
ZT_API SockBuf *SockBufReset(SockBuf *buf);
/* Drops the first n bytes; returns the bytes left. */
ZT_API int SockBufResetLen(SockBuf *buf, unsigned int n);
/* Append n bytes (a string without its NUL); n below 1, null bytes or a
 * failed resize change nothing. The bytes may lie in the buffer's own block
 * (from SockBufPtr): they are copied as memmove would. */
ZT_API void SockBufWrite(SockBuf *buf, const void *bytes, int n);
ZT_API void SockBufWriteStr(SockBuf *buf, const char *str);
/* Sends all buffered bytes in one write: 0, and they stay buffered (empty the
 * buffer with SockBufReset); -1 when it fails or is short, and they are
 * dropped. A peer that has gone gives -1 (EPIPE), never SIGPIPE. */
ZT_API int SockBufWriteAll(SockBuf *buf);

#ifdef __cplusplus
}
#endif

#endif
