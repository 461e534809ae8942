// Confinement of a service process: a lower scheduling priority, a cap on
// its CPU time, a private empty directory as its root and the unprivileged
// user "nobody"; with them the one-call signal handler installation and a
// small random-number function.
// Its contract: zttools.h and the manual page zttools_confine(3).
#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr char kSandboxRoot[] = ZT_SANDBOX_ROOT;
constexpr mode_t kSandboxMode = 0700;
constexpr uint32_t kNoNobody = 65535;  // the ids used when "nobody" is unknown
constexpr int kConfineRecord = LOG_USER | LOG_DEBUG;

}  // namespace

extern "C" {

int set_priority(int pid, int nice_value)
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(pid), nice_value);
}

int set_cputime_limit(int seconds)
{
    struct rlimit limit;
    int result = -1;
    if (getrlimit(RLIMIT_CPU, &limit) == 0) {
        // The hard limit stays unless it is below the new soft one. A
        // negative time converts as the limit type converts it (-1 is
        // RLIM_INFINITY).
        limit.rlim_cur = static_cast<rlim_t>(seconds);
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < limit.rlim_cur)
            limit.rlim_max = limit.rlim_cur;
        result = setrlimit(RLIMIT_CPU, &limit);
    }
    if (result < 0) {
        syslog(LOG_USER | LOG_ERR, "setrlimit failure (%s)", strerror(errno));
        exit(1);
    }
    return 0;
}

uint32_t get_nobody_uid(void)
{
    const struct passwd *entry = getpwnam("nobody");
    return entry ? entry->pw_uid : kNoNobody;
}

uint32_t get_nobody_gid(void)
{
    const struct passwd *entry = getpwnam("nobody");
    return entry ? entry->pw_gid : kNoNobody;
}

int SetNobodyId(uint32_t uid, uint32_t gid)
{
    if (setpgrp() < 0) {
        syslog(kConfineRecord, "setpgrp failed (%s)", strerror(errno));
        return -1;
    }
    if (setgid(gid) < 0) {
        syslog(kConfineRecord, "setgid(%d) failed (%s)", static_cast<int>(gid), strerror(errno));
        return -1;
    }
    if (setuid(uid) < 0) {
        syslog(kConfineRecord, "setuid(%d) failed (%s)", static_cast<int>(uid), strerror(errno));
        return -1;
    }
    return 0;
}

}  // extern "C"

namespace {

// The record of a failed mkdir of the sandbox root or of a sandbox.
void log_mkdir_failure(const char *path)
{
    syslog(kConfineRecord, "mkdir(%s, %#o) failed (%s)", path, kSandboxMode, strerror(errno));
}

}  // namespace

extern "C" {

int enter_sandbox_dir(const char *name, uint32_t uid, uint32_t gid)
{
    if (!name) {
        syslog(kConfineRecord, "no name given");
        return -1;
    }
    if (mkdir(kSandboxRoot, kSandboxMode) < 0 && errno != EEXIST) {
        log_mkdir_failure(kSandboxRoot);
        return -1;
    }
    zt::MallocPtr<char> path(zt_buildstr(nullptr, "%s/%s", kSandboxRoot, name));
    if (!path)
        return -1;  // ENOMEM
    // The sandbox must be new: an existing one may hold what a previous
    // run left behind.
    if (mkdir(path.get(), kSandboxMode) < 0) {
        log_mkdir_failure(path.get());
        return -1;
    }
    if (chown(path.get(), uid, gid) < 0) {
        syslog(kConfineRecord, "chown(%s, %#o, %#o) failed (%s)", path.get(), uid, gid,
               strerror(errno));
        return -1;
    }
    if (chdir(path.get()) < 0) {
        syslog(kConfineRecord, "chdir(%s) failed (%s)", path.get(), strerror(errno));
        return -1;
    }
    if (chroot(path.get()) < 0) {
        syslog(kConfineRecord, "chroot(%s) failed (%s)", path.get(), strerror(errno));
        return -1;
    }
    return 0;
}

int sandbox(const char *name)
{
    const uint32_t uid = get_nobody_uid(), gid = get_nobody_gid();
    if (enter_sandbox_dir(name, uid, gid) < 0 || SetNobodyId(uid, gid) < 0)
        return -1;
    return 0;
}

int SimpleSigAction(int sig, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;  // not restarted: interrupted calls fail with EINTR
    return sigaction(sig, &action, nullptr);
}

int randint(int n)
{
    if (n < 1)
        return 0;
    unsigned char bytes[4] = {};
    // Without the random source every byte is 0, and so is the result.
    if (FILE *source = fopen("/dev/urandom", "re")) {
        if (fread(bytes, 1, sizeof bytes, source) != sizeof bytes)
            memset(bytes, 0, sizeof bytes);
        fclose(source);
    }
    const uint32_t word = static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    const int32_t value = static_cast<int32_t>(word);
    const uint32_t magnitude = value < 0 ? 0u - word : word;
    return static_cast<int>(magnitude % static_cast<uint32_t>(n));
}

}  // extern "C"
