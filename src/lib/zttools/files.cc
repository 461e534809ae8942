// Files and paths: the size of a file or block device, copying a file,
// making sure one exists, one-letter path tests in the manner of a shell's,
// creating a directory path with its missing parents, and splitting a path
// into its directory and its last component.
// Its contract: zttools.h and the manual page zttools_files(3).
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "zttools.h"

extern "C" {

int zt_filesize_fd(int fd, uint32_t *size)
{
    if (!size) {
        errno = EINVAL;
        return -1;
    }
    *size = 0;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0) {
        errno = 0;
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        *size = static_cast<uint32_t>(st.st_size);
        return 0;
    }
    unsigned long sectors = 0;
    if (S_ISBLK(st.st_mode) && ioctl(fd, BLKGETSIZE, &sectors) == 0) {
        *size = static_cast<uint32_t>(sectors * 512);
        return 0;
    }
    errno = ENOENT;
    return -1;
}

int zt_filesize(const char *path, uint32_t *size)
{
    if (!size) {
        errno = EINVAL;
        return -1;
    }
    *size = 0;
    if (!path)
        return -1;
    zt::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return -1;
    return zt_filesize_fd(fd.get(), size);  // the close keeps its errno
}

int zt_file_copy(const char *src, const char *dst)
{
    zt::UniqueFile from(fopen(src, "rb"));
    if (!from) {
        fprintf(stderr, "Error opening %s: %s\n", src, strerror(errno));
        return -1;
    }
    zt::UniqueFile to(fopen(dst, "wb"));
    if (!to) {
        fprintf(stderr, "Error opening %s: %s\n", dst, strerror(errno));
        return -1;
    }
    for (int c; (c = getc(from.get())) != EOF;) {
        if (putc(c, to.get()) != c) {
            fprintf(stderr, "Error copying %s to %s: %s\n", src, dst, strerror(errno));
            unlink(dst);
            return -1;
        }
    }
    return 0;
}

int zt_touch(const char *path)
{
    FILE *file = fopen(path, "a");
    if (!file)
        return -1;
    fclose(file);
    return 0;
}

}  // extern "C"

namespace {

// The permission rule on the real ids: the owner's bit for the owner, else
// the group's bit for the group, else the others' bit. Each bit set is the
// owner's; the group's and the others' are 3 and 6 places lower.
bool permitted(const struct stat &st, mode_t owner_bit)
{
    if (st.st_uid == getuid() && (st.st_mode & owner_bit))
        return true;
    if (st.st_gid == getgid() && (st.st_mode & owner_bit >> 3))
        return true;
    return st.st_mode & owner_bit >> 6;
}

}  // namespace

extern "C" {

int zt_filetest(const char *path, int letter)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    const char test = static_cast<char>(letter);
    struct stat st;
    errno = 0;
    if ((test == 'l' ? lstat(path, &st) : stat(path, &st)) < 0) {
        if (test == 'e' && errno == ENOENT)
            return 0;
        if (errno == 0)
            errno = EINVAL;
        return -1;
    }
    errno = 0;
    switch (test) {
    case 'b': return S_ISBLK(st.st_mode);
    case 'c': return S_ISCHR(st.st_mode);
    case 'd': return S_ISDIR(st.st_mode);
    case 'e': return 1;
    case 'f': return S_ISREG(st.st_mode);
    case 'l': return S_ISLNK(st.st_mode);
    case 'p': return S_ISFIFO(st.st_mode);
    case 'r': return permitted(st, S_IRUSR);
    case 'w': return permitted(st, S_IWUSR);
    case 'x': return permitted(st, S_IXUSR);
    default:
        errno = EINVAL;
        return -1;
    }
}

int zt_buildpath(const char *path, mode_t mode)
{
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    const size_t length = strlen(path);
    zt::MallocPtr<char> prefix(strdup(path));
    if (!prefix) {
        errno = ENOMEM;
        return -1;
    }
    bool not_a_directory = false;
    for (size_t i = 0; i < length; i++) {
        const bool last = i == length - 1;
        if (path[i] != '/' && !last)
            continue;
        // The prefix before this slash; the first character alone at the
        // start (the whole path if it has two), the whole path at its end.
        size_t end = i;
        if (i == 0)
            end = length == 2 ? 2 : 1;
        else if (last)
            end = length;
        const char kept = prefix.get()[end];
        prefix.get()[end] = '\0';
        const char *dir = prefix.get();
        bool stop = false;
        if (zt_filetest(dir, 'd') != 1) {
            int exists = zt_filetest(dir, 'e');
            if (exists == 1) {
                not_a_directory = stop = true;
            } else {
                if (exists == 0)
                    mkdir(dir, mode);
                stop = zt_filetest(dir, 'd') != 1;
            }
        }
        prefix.get()[end] = kept;
        if (stop)
            break;
    }
    if (zt_filetest(path, 'd') == 1)
        return 0;
    if (not_a_directory)
        errno = ENOTDIR;
    return -1;
}

int zt_dirname(const char *path, char **dir)
{
    static char empty[1];
    if (!dir) {
        errno = EINVAL;
        return -1;
    }
    *dir = empty;
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    const char *slash = strrchr(path + 1, '/');
    if (!slash)
        return -1;
    char *copy = static_cast<char *>(malloc(strlen(path) + 1));
    if (!copy) {
        *dir = nullptr;
        errno = ENOMEM;
        return -1;
    }
    const size_t length = static_cast<size_t>(slash - path);
    memcpy(copy, path, length);
    copy[length] = '\0';
    errno = 0;
    *dir = copy;
    return 0;
}

int zt_basename(const char *path, char sep, char **base)
{
    if (!path || !base) {
        errno = EINVAL;
        return -1;
    }
    const char *last = strrchr(path, sep ? sep : '/');
    *base = strdup(last ? last + 1 : path);
    return *base ? 0 : -1;
}

}  // extern "C"
