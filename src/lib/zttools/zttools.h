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

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

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

/* A receiving service's queue is keyed by the directory ZTMSG_DIR NAME,
 * created by ztmsg_init; "*" as a destination sends to every service with
 * such a directory. Records go to syslog, each naming its function. */
#define ZTMSG_DIR "/tmp/ztmsg/"
#define ZTMSG_MAX_DATA 252

/* A message as the queue carries it: the type (a long, as the kernel has
 * it), then length, sender and data. A receiving buffer is one record. */
typedef struct ztmsg_message {
    long mtype;          /* positive, chosen by the sender */
    uint32_t length;     /* bytes in data, at most ZTMSG_MAX_DATA */
    int32_t sender_pid;  /* filled in by ztmsg_send */
    char data[ZTMSG_MAX_DATA];
} ztmsg_message;

/* Creates (or finds again) the queue of service name; 0 and its id, or -1. */
ZT_API int ztmsg_init(const char *name, int *queue_id);
/* Takes the first message into message; received gets the bytes after the
 * type (length + 8). wait 0 returns -1 (ENOMSG) on an empty queue, -1 waits
 * (any other value is logged and waits too). -1 on failure (EINVAL for a
 * null pointer). */
ZT_API int ztmsg_get(int queue_id, ztmsg_message *message, int *received, int wait);
/* Sends message (its sender_pid is set) to service name, without waiting
 * on a full queue; "*" sends to every service and returns 0 whatever the
 * single sends gave. 0 or -1 (EINVAL for a null pointer). */
ZT_API int ztmsg_send(const char *name, ztmsg_message *message);
/* Removes the queue; its key directory stays. Always 0. */
ZT_API int ztmsg_term(int queue_id);

/* ---- confinement, signals, random numbers ----------------------------- */

/* A service's sandbox is ZT_SANDBOX_ROOT "/" NAME, made new by
 * enter_sandbox_dir. Failures are logged at LOG_USER | LOG_DEBUG. */
#define ZT_SANDBOX_ROOT "/tmp/sandbox"

/* setpriority of process pid (0: this one); 0 or -1 with errno. */
ZT_API int set_priority(int pid, int nice_value);
/* Caps the CPU time at seconds (soft limit; the hard one is raised to it
 * if lower). On failure (negative seconds too) logs "setrlimit failure"
 * at LOG_USER | LOG_ERR and ends the process with status 1. */
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

/* ---- files and paths -------------------------------------------------- */

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

/* ---- diagnostic dumps ------------------------------------------------- */

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

/* ---- atob codec ------------------------------------------------------- */

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

/* ---- sockets and descriptor I/O --------------------------------------- */

/* ---- interfaces, routes, roles and ARP -------------------------------- */

/* ---- linked list ------------------------------------------------------ */

/* ---- hash table ------------------------------------------------------- */

/* ---- balanced tree ---------------------------------------------------- */

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
 * node's item, positive after it, 0 equal. Insertion and deletion count on
 * their way down and walk the path a second time to undo that when the item
 * turns out present (insertion) or the key missing (deletion). */
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

/* ---- circular queue --------------------------------------------------- */

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
 * queue, a slot size or capacity below 1 (nothing changes then) or when
 * memory runs out (block and slots stay null). */
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

/* ---- socket buffer ---------------------------------------------------- */

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
 * the first zero byte among them. A zero byte follows the bytes left. */
ZT_API char *SockBufGetStr(SockBuf *buf, int n);
ZT_API char *SockBufPtr(SockBuf *buf);
ZT_API int SockBufLen(SockBuf *buf);
/* Empties the buffer, keeping its block. */
ZT_API SockBuf *SockBufReset(SockBuf *buf);
/* Drops the first n bytes; returns the bytes left. */
ZT_API int SockBufResetLen(SockBuf *buf, unsigned int n);
/* Append n bytes (a string without its NUL); n below 1, null bytes or a
 * failed resize change nothing. */
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
