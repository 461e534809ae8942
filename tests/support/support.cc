// Test support: namespaces, the /dev/log reader, trace capture, descriptors.
#include "zt_test.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ztsvc.h"

namespace zt_test {
namespace {

bool isolation_done = false;
std::string problem = "not set up";
int syslog_fd = -1;

bool fail(const char *step)
{
    problem = std::string(step) + ": " + strerror(errno);
    return false;
}

// A /dev of our own: the usual character devices and a /dev/log that
// this process reads.
bool private_dev()
{
    if (mount("zttest-dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") < 0)
        return fail("mount tmpfs on /dev");
    struct Node {
        const char *name;
        unsigned major, minor;
    };
    constexpr Node nodes[] = {{"null", 1, 3},   {"zero", 1, 5}, {"full", 1, 7},
                              {"random", 1, 8}, {"urandom", 1, 9}, {"tty", 5, 0}};
    for (const Node &node : nodes) {
        std::string path = std::string("/dev/") + node.name;
        if (mknod(path.c_str(), S_IFCHR | 0666, makedev(node.major, node.minor)) < 0)
            return fail("mknod in /dev");
        chmod(path.c_str(), 0666);
    }
    mkdir("/dev/net", 0755);
    mknod("/dev/net/tun", S_IFCHR | 0666, makedev(10, 200));
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    mkdir("/dev/shm", 01777);
    mount("zttest-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");

    syslog_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    if (syslog_fd < 0 || bind(syslog_fd, (struct sockaddr *)&address, sizeof address) < 0)
        return fail("bind /dev/log");
    chmod("/dev/log", 0666);
    int size = 4 << 20;
    setsockopt(syslog_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    return true;
}

bool loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq request = {};
    strcpy(request.ifr_name, "lo");
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        close(fd);
    return ok || fail("bring lo up");
}

bool isolate()
{
    if (geteuid() != 0) {
        problem = "not running as root";
        return false;
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) < 0)
        return fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return fail("make / private");
    if (mount("zttest-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") < 0)
        return fail("mount tmpfs on /tmp");
    return private_dev() && loopback_up();
}

}  // namespace

bool isolated()
{
    return isolation_done;
}

const std::string &isolation_problem()
{
    return problem;
}

void set_up_process()
{
    isolation_done = isolate();
    if (!isolation_done)
        fprintf(stderr, "zttest: running without isolation (%s); tests that need it are skipped\n",
                problem.c_str());
    openlog("zttest", 0, kDefaultFacility);
}

std::vector<SyslogRecord> take_syslog()
{
    std::vector<SyslogRecord> records;
    if (syslog_fd < 0)
        return records;
    char datagram[8192];
    for (;;) {
        ssize_t n = recv(syslog_fd, datagram, sizeof datagram - 1, 0);
        if (n < 0)
            break;
        datagram[n] = '\0';
        // "<PRI>Mmm dd hh:mm:ss ident[pid]: message"
        SyslogRecord record{-1, ""};
        char *close_angle = strchr(datagram, '>');
        char *text = strstr(datagram, ": ");
        if (datagram[0] == '<' && close_angle)
            record.priority = atoi(datagram + 1);
        record.message = text ? std::string(text + 2, datagram + n - (text + 2)) : datagram;
        records.push_back(record);
    }
    return records;
}

TraceCapture::TraceCapture(int level) : previous_level_(ztlog_diag_level(-1))
{
    fd_ = memfd_create("zttest-traces", MFD_CLOEXEC);
    ztlog_set_sink(fd_);
    ztlog_set_level(level);
}

TraceCapture::~TraceCapture()
{
    ztlog_set_sink(-1);
    ztlog_set_level(previous_level_);
    close(fd_);
}

void TraceCapture::set_level(int level)
{
    ztlog_set_level(level);
}

std::vector<TraceRecord> TraceCapture::take()
{
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = pread(fd_, chunk, sizeof chunk, consumed_);
        if (n <= 0)
            break;
        text.append(chunk, n);
        consumed_ += n;
    }
    return parse_traces(text);
}

std::vector<TraceRecord> parse_traces(const std::string &text)
{
    std::vector<TraceRecord> records;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        // "TIME PID trace[LEVEL] SEVERITY FILE:LINE FUNCTION: MESSAGE"
        TraceRecord record{-1, "", "", -1, "", line, "", -1};
        char time[40], severity[16], where[512], function[256];
        int consumed = 0;
        if (sscanf(line.c_str(), "%39s %d trace[%d] %15s %511s %255[^:]: %n", time, &record.pid,
                   &record.level, severity, where, function, &consumed) == 6) {
            record.time = time;
            record.severity = severity;
            std::string location = where;
            size_t colon = location.rfind(':');
            record.file = location.substr(0, colon);
            record.line = atoi(location.c_str() + colon + 1);
            record.function = function;
            record.message = line.substr(consumed);
        }
        records.push_back(record);
    }
    return records;
}

int open_fd_count()
{
    DIR *directory = opendir("/proc/self/fd");
    int count = 0;
    while (directory && readdir(directory))
        count++;
    if (directory)
        closedir(directory);
    return count - 3;  // ".", ".." and the directory's own descriptor
}

GuardedBytes::GuardedBytes(size_t size)
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t data_pages = (size + page - 1) / page;
    mapping_size_ = (data_pages + 1) * page;
    mapping_ = mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED)
        abort();
    unsigned char *guard = static_cast<unsigned char *>(mapping_) + data_pages * page;
    mprotect(guard, page, PROT_NONE);
    data_ = guard - size;
}

GuardedBytes::~GuardedBytes()
{
    munmap(mapping_, mapping_size_);
}

#ifdef ZT_COVERAGE_FLUSH
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

// The coverage run-time writes its counters at exit, which _exit skips: a
// child writes them itself, starting from zero so that nothing the parent
// counted before the fork is counted twice. Its body may change its user
// or its root, so the child keeps its capabilities across a change of user
// (the effective ones go all the same, which is all the body can observe)
// and a way back to the real root, and takes both back to write.
extern "C" void __gcov_reset(void);
extern "C" void __gcov_dump(void);

namespace {

int keep_way_back()
{
    __gcov_reset();
    prctl(PR_SET_KEEPCAPS, 1);
    return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void write_coverage(int root)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct caps[2] = {};
    if (syscall(SYS_capget, &header, caps) == 0) {
        caps[0].effective = caps[0].permitted;
        caps[1].effective = caps[1].permitted;
        syscall(SYS_capset, &header, caps);
    }
    if (root >= 0 && fchdir(root) == 0)
        (void)!chroot(".");
    __gcov_dump();
}

}  // namespace
#endif

int run_in_child(const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
#ifdef ZT_COVERAGE_FLUSH
        int root = keep_way_back();
        int result = body();
        write_coverage(root);
        _exit(result);
#else
        _exit(body());
#endif
    }
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string child_failure(const std::function<int()> &body)
{
    int status = 0;
    const std::string failure = stderr_of([&] { status = run_in_child(body); });
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    if (!failure.empty())
        return failure;
    return WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status))
                               : "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string file_text(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, chunk, sizeof chunk, at)) > 0; at += n)
        text.append(chunk, static_cast<size_t>(n));
    return text;
}

// What body writes to descriptor 2, which goes to a memory file meanwhile.
std::string stderr_of(const std::function<void()> &body)
{
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int file = memfd_create("stderr", MFD_CLOEXEC);
    dup2(file, STDERR_FILENO);
    body();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text = file_text(file);
    close(file);
    return text;
}

ProgramRun run_program(const std::vector<std::string> &command, const std::string &input,
                       int limit_secs)
{
    int in = memfd_create("in", MFD_CLOEXEC), out = memfd_create("out", MFD_CLOEXEC),
        err = memfd_create("err", MFD_CLOEXEC);
    if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        ADD_FAILURE() << "input not written";
    lseek(in, 0, SEEK_SET);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &word : command)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) == 0; waited_ms += 5) {
        if (waited_ms >= limit_secs * 1000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(5000);
    }
    ProgramRun run = {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), file_text(out),
                      file_text(err)};
    for (int fd : {in, out, err})
        close(fd);
    return run;
}

WideInodeDir::WideInodeDir(const std::string &path, const std::function<void(const std::string &)> &fill)
    : path_(path)
{
    const std::string lower = path + ".lower", upper = path + ".upper";
    for (const std::string &dir : {path, lower, upper})
        mkdir(dir.c_str(), 0777);
    if (mount("zttest-lower", lower.c_str(), "tmpfs", 0, "mode=0777") < 0 ||
        mount("zttest-upper", upper.c_str(), "tmpfs", 0, "mode=0777") < 0) {
        problem_ = std::string("tmpfs: ") + strerror(errno);
        return;
    }
    fill(lower);
    mkdir((upper + "/data").c_str(), 0777);
    mkdir((upper + "/work").c_str(), 0777);
    const std::string options = "lowerdir=" + lower + ",upperdir=" + upper + "/data,workdir=" + upper + "/work,xino=on";
    if (mount("zttest-wide", path.c_str(), "overlay", 0, options.c_str()) < 0) {
        problem_ = std::string("overlay: ") + strerror(errno);
        return;
    }
    DIR *dir = opendir(path.c_str());
    bool wide = false;
    while (const struct dirent *entry = dir ? readdir(dir) : nullptr)
        wide |= entry->d_ino > UINT32_MAX && strcmp(entry->d_name, "..") != 0;
    if (dir)
        closedir(dir);
    if (!wide)
        problem_ = "the overlay gives no inode numbers beyond 32 bits";
}

WideInodeDir::~WideInodeDir()
{
    for (const std::string &dir : {path_, path_ + ".lower", path_ + ".upper"}) {
        umount2(dir.c_str(), MNT_DETACH);
        rmdir(dir.c_str());
    }
}

}  // namespace zt_test
