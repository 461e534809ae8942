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
/* Looks up the ARP entry of addr on the interface that req->arp_dev names
 * (the kernel needs one: ENODEV without): req is cleared but for arp_dev
 * and filled by the kernel. 0 done, -1 failed (EINVAL for a null req). */
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
 * GATEWAY". A word that is not an address (inet_aton), or longer than 79
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

/* ---- linked list ------------------------------------------------------ */

/* ---- hash table ------------------------------------------------------- */

/* ---- balanced tree ---------------------------------------------------- */

/* ---- circular queue --------------------------------------------------- */

/* ---- socket buffer ---------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif
