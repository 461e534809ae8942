// Files and paths on the test's private /tmp: sizes, copies with their
// messages, every test letter and the permission rule on real ids (in
// children that take other ids), directory walks, path splitting.
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;
using zt_test::stderr_of;

// A result with the errno it left.
std::pair<int, int> with_errno(int result)
{
    return {result, errno};
}

class FilesTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        // A file system of its own that allows device nodes.
        mkdir("/tmp/f", 0777);
        ASSERT_EQ(mount("zttest-files", "/tmp/f", "tmpfs", 0, "mode=0777"), 0);
        ASSERT_EQ(chdir("/tmp/f"), 0);
    }
    void TearDown() override
    {
        if (zt_test::isolated() && chdir("/") == 0)
            umount("/tmp/f");
    }
};

std::string read_file(const char *path)
{
    std::string text;
    FILE *file = fopen(path, "rb");
    for (int c; file && (c = fgetc(file)) != EOF;)
        text.push_back(static_cast<char>(c));
    if (file)
        fclose(file);
    return text;
}

void write_file(const char *path, const std::string &text, mode_t mode = 0644)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    chmod(path, mode);
}

TEST_F(FilesTest, SizesOfFilesOnlyAndZeroOnEveryFailure)
{
    write_file("five", "12345");
    uint32_t size = 99;
    EXPECT_EQ(zt_filesize("five", &size) == 0 ? size : 99u, 5u);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int dir = open(".", O_RDONLY);
    for (auto [what, fd, error] : {std::tuple{"pipe", pipe_fds[0], ENOENT}, {"directory", dir, ENOENT},
                                   {"negative", -1, 0}, {"closed", 900, 0}}) {
        size = 99;
        errno = 12345;
        EXPECT_EQ(with_errno(zt_filesize_fd(fd, &size)), std::pair(-1, error)) << what;
        EXPECT_EQ(size, 0u) << what;
    }
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    size = 99;
    EXPECT_EQ(zt_filesize(nullptr, &size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(with_errno(zt_filesize("missing", &size)), std::pair(-1, ENOENT));
    EXPECT_EQ(with_errno(zt_filesize(".", &size)), std::pair(-1, ENOENT));  // kept through the close
    EXPECT_EQ(with_errno(zt_filesize_fd(dir, nullptr)), std::pair(-1, EINVAL));
    close(dir);

    // A loop device without a backing file: the query works and says 0, or
    // fails (ENOENT); a node of a missing device cannot be opened at all.
    ASSERT_EQ(mknod("loop", S_IFBLK | 0600, makedev(7, 0)), 0);
    size = 99;
    int result = zt_filesize("loop", &size);
    if (result < 0 && errno == ENXIO)
        GTEST_SKIP() << "no loop device on this kernel";
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(result == 0 || errno == ENOENT) << strerror(errno);
}

// A loop device of the test's own over a sparse file of 3 MiB, numbered
// high so that it meets no other user of loop devices.
TEST_F(FilesTest, ABlockDeviceSizeCountsSectorsOf512Bytes)
{
    // The control node of its own: the private /dev may lack it.
    mknod("loop-control", S_IFCHR | 0600, makedev(10, 237));
    const int control = open("loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0)
        GTEST_SKIP() << "no loop devices: " << strerror(errno);
    int number = 200;
    while (number < 240 && ioctl(control, LOOP_CTL_ADD, number) < 0)
        number++;
    if (number == 240) {
        close(control);
        GTEST_SKIP() << "no loop device could be added";
    }
    const int backing = open("backing", O_RDWR | O_CREAT, 0600);
    const bool made = ftruncate(backing, 3 << 20) == 0 && mknod("disk", S_IFBLK | 0600, makedev(7, number)) == 0;
    const int disk = made ? open("disk", O_RDWR) : -1;
    const bool attached = disk >= 0 && ioctl(disk, LOOP_SET_FD, backing) == 0;
    const int error = errno;
    uint32_t size = 0;
    const int result = attached ? zt_filesize("disk", &size) : -1;
    if (attached)
        ioctl(disk, LOOP_CLR_FD, 0);
    close(disk);
    close(backing);
    for (int tries = 0; ioctl(control, LOOP_CTL_REMOVE, number) < 0 && errno == EBUSY && tries < 100; tries++)
        usleep(10000);
    close(control);
    if (!attached)  // qemu-i386, say, does not pass the loop requests on
        GTEST_SKIP() << "no loop device attached: " << strerror(error);
    EXPECT_EQ(std::pair(result, size), std::pair(0, 3u << 20));
}

TEST_F(FilesTest, CopyWritesTheWholeFileOrRemovesTheCopyAndTouchKeepsContent)
{
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<char>(i * 7);
    write_file("big", bytes);
    write_file("old", "old and longer");
    write_file("short", "new");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("short", "old"), 0); }), "");
    EXPECT_EQ(read_file("old"), "new") << "the copy replaces a longer file";
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("big", "old"), 0); }), "");
    EXPECT_TRUE(read_file("old") == bytes);
    const int before = zt_test::open_fd_count();
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("none", "x"), -1); }),
              "Error opening none: No such file or directory\n");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("big", "no/x"), -1); }),
              "Error opening no/x: No such file or directory\n");
    // A device that is always full: the write fails and the copy goes.
    ASSERT_EQ(mknod("full", S_IFCHR | 0666, makedev(1, 7)), 0);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("big", "full"), -1); }),
              "Error copying big to full: No space left on device\n");
    EXPECT_EQ(zt_filetest("full", 'e'), 0);
    EXPECT_EQ(zt_test::open_fd_count(), before);

    EXPECT_EQ(zt_touch("new"), 0);
    EXPECT_EQ(zt_touch("old"), 0);
    uint32_t size = 0;
    for (auto [path, length] : {std::pair{"new", 0u}, {"old", 100000u}})
        EXPECT_EQ(zt_filesize(path, &size) == 0 ? size : 1u, length) << path;
    EXPECT_EQ(with_errno(zt_touch("no/such")), std::pair(-1, ENOENT));
}

// What a 32-bit build without large-file support cannot examine: a sparse
// file of 3 GiB (its size still fits the 32-bit count) and entries whose
// inode numbers need 64 bits. Every file function works on both.
TEST_F(FilesTest, FilesOfThreeGigabytesAndWideInodeNumbers)
{
    constexpr uint32_t kSize = 3u << 30;
    int fd = open("large", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    uint32_t size = 0;
    EXPECT_EQ(zt_filesize_fd(fd, &size) == 0 ? size : errno, kSize);
    close(fd);
    zt_test::WideInodeDir wide("wide", [](const std::string &lower) {
        mkdir((lower + "/dir").c_str(), 0755);
        write_file((lower + "/dir/five").c_str(), "12345");
    });
    std::vector<std::pair<const char *, uint32_t>> files = {{"large", kSize}};
    if (wide.problem().empty())
        files.emplace_back("wide/dir/five", 5u);
    for (auto [path, length] : files) {
        EXPECT_EQ(zt_filesize(path, &size) == 0 ? size : errno, length) << path;
        for (char letter : {'e', 'f', 'r', 'w'})
            EXPECT_EQ(zt_filetest(path, letter), 1) << path << " " << letter;
        EXPECT_EQ(zt_touch(path), 0) << path;
        EXPECT_EQ(zt_filesize(path, &size) == 0 ? size : errno, length) << path << " touched";
        EXPECT_EQ(with_errno(zt_buildpath((path + std::string("/x")).c_str(), 0700)), std::pair(-1, ENOTDIR)) << path;
    }
    // The copy reads the large file: its first block cannot be written.
    ASSERT_EQ(mknod("full", S_IFCHR | 0666, makedev(1, 7)), 0);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("large", "full"), -1); }),
              "Error copying large to full: No space left on device\n");
    if (!wide.problem().empty())
        GTEST_SKIP() << wide.problem();
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("wide/dir/five", "wide/dir/copy"), 0); }), "");
    EXPECT_EQ(zt_filetest("wide/dir", 'd'), 1);
    EXPECT_EQ(zt_buildpath("wide/dir/new/deeper", 0700), 0);
}

TEST_F(FilesTest, EveryLetterOnEveryKindOfPath)
{
    write_file("file", "");
    ASSERT_EQ(mkdir("dir", 0755), 0);
    ASSERT_EQ(symlink("dir", "link"), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(mknod("chr", S_IFCHR | 0644, makedev(1, 3)), 0);
    ASSERT_EQ(mknod("blk", S_IFBLK | 0644, makedev(7, 0)), 0);
    // Results for the letters b c d e f l p, in that order.
    for (auto [path, results] : {std::pair{"file", "0001100"}, {"dir", "0011000"}, {"link", "0011010"},
                                 {"fifo", "0001001"}, {"chr", "0101000"}, {"blk", "1001000"}})
        for (int i = 0; i < 7; i++) {
            errno = 12345;
            EXPECT_EQ(with_errno(zt_filetest(path, "bcdeflp"[i])), std::pair(results[i] - '0', 0))
                << path << " " << "bcdeflp"[i];
        }
    EXPECT_EQ(zt_filetest("dir", 0x100 | 'd'), 1);  // only the low byte of the letter counts
    EXPECT_EQ(zt_filetest("missing", 'e'), 0);
    for (auto [path, letter, result, error] :
         {std::tuple{"file/below", 'e', -1, ENOTDIR}, {"missing", 'f', -1, ENOENT},
          {"file", 'q', -1, EINVAL}, {"missing", 'q', -1, ENOENT}, {nullptr, 'e', -1, EINVAL}}) {
        errno = 0;
        EXPECT_EQ(with_errno(zt_filetest(path, letter)), std::pair(result, error)) << path << " " << letter;
    }
}

TEST_F(FilesTest, PermissionsFollowTheRealIdsOnly)
{
    constexpr uid_t kUser = 1000;
    constexpr gid_t kGroup = 1000;
    ASSERT_EQ(chmod(".", 0777), 0);
    ASSERT_EQ(chmod("/tmp", 0777), 0);
    const struct {
        const char *name;
        uid_t owner;
        gid_t group;
        mode_t mode;
        const char *rwx;  // results for r, w and x
    } cases[] = {
        {"group_bit", kUser, kGroup, 0044, "100"},  // owner without its bit: the group's
        {"other_bit", kUser, 0, 0004, "100"},        {"owner_bits", kUser, 0, 0700, "111"},
        {"strangers", 0, 0, 0400, "000"},            {"group_only", 0, kGroup, 0020, "010"},
        {"others_x", 0, 0, 0001, "001"},             {"owner_denied", kUser, kGroup, 0077, "111"},
    };
    for (const auto &c : cases) {
        write_file(c.name, "", c.mode);
        ASSERT_EQ(chown(c.name, c.owner, c.group), 0);
    }
    // The child takes other real ids; the effective ones follow, so that
    // nothing is decided by root's privileges either.
    int status = zt_test::run_in_child([&] {
        if (setgid(kGroup) < 0 || setuid(kUser) < 0)
            return 100;
        for (size_t i = 0; i < std::size(cases); i++)
            for (int j = 0; j < 3; j++)
                if (zt_filetest(cases[i].name, "rwx"[j]) != cases[i].rwx[j] - '0')
                    return static_cast<int>(i * 3 + j + 1);
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "case and letter " << WEXITSTATUS(status) - 1;
}

TEST_F(FilesTest, BuildPathCreatesMissingDirectoriesInOrder)
{
    umask(022);
    EXPECT_EQ(zt_buildpath("a/b/c", 0750), 0);
    struct stat st;
    ASSERT_EQ(stat("a/b/c", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    for (const char *path : {"a/b/c", "a/b/c/", "a//d/", "/tmp/f/abs/x", "/", "e"})
        EXPECT_EQ(zt_buildpath(path, 0700), 0) << path;
    EXPECT_EQ(zt_filetest("a/d", 'd') + zt_filetest("abs/x", 'd') + zt_filetest("e", 'd'), 3);

    write_file("file", "");
    for (const char *path : {"file/x/y", "file"})
        EXPECT_EQ(with_errno(zt_buildpath(path, 0700)), std::pair(-1, ENOTDIR)) << path;
    for (const char *bad : {"", static_cast<const char *>(nullptr)})
        EXPECT_EQ(with_errno(zt_buildpath(bad, 0700)), std::pair(-1, EINVAL));
    // A parent that cannot be written: the walk stops at the first failure.
    ASSERT_EQ(chmod("a", 0555), 0);
    int status = zt_test::run_in_child([] {
        if (setgid(1000) < 0 || setuid(1000) < 0)
            return 100;
        return zt_buildpath("a/new/deeper", 0700) == -1 && errno == ENOENT && zt_filetest("a/new", 'e') == 0 ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

// Each compiled from the same header, with and without large-file support.
std::string exports_with_offsets_of_32_bits();
std::string exports_with_offsets_of_64_bits();

namespace {

TEST(PublicHeader, NoExportChangesShapeWithLargeFileSupport)
{
    const std::string without = exports_with_offsets_of_32_bits();
    const std::string pointer = std::to_string(sizeof(void *));
    EXPECT_NE(without.find("\nzt_filesize_fd " + pointer + "->(4," + pointer + "->4,)4\n"), std::string::npos) << without;
    EXPECT_EQ(without, exports_with_offsets_of_64_bits());
}

TEST(PathSplit, DirnameAndBasename)
{
    // A null directory: -1 and a static empty text, not to be freed.
    for (auto [path, expected] : {std::pair<const char *, const char *>{"a/b/c", "a/b"}, {"/usr/bin", "/usr"},
                                  {"a/", "a"}, {"a//b", "a/"}, {"/usr", nullptr}, {"abc", nullptr}, {"/", nullptr},
                                  {"//", "/"}}) {
        char *dir = nullptr;
        int result = zt_dirname(path, &dir);
        ASSERT_NE(dir, nullptr) << path;
        EXPECT_EQ(result, expected ? 0 : -1) << path;
        EXPECT_STREQ(dir, expected ? expected : "");
        if (expected)
            free(dir);
    }
    char *dir = nullptr;
    EXPECT_EQ(with_errno(zt_dirname("", &dir)), std::pair(-1, EINVAL));

    for (auto [path, sep, expected] : {std::tuple{"a/b/c", '\0', "c"}, {"a/b/", '\0', ""}, {"abc", '\0', "abc"},
                                       {"x:y", ':', "y"}, {"x/y:z", ':', "z"}, {"x:y/z", '\0', "z"}}) {
        char *base = nullptr;
        ASSERT_EQ(zt_basename(path, sep, &base), 0) << path;
        EXPECT_STREQ(base, expected);
        free(base);
    }
    char *base = nullptr;
    EXPECT_EQ(with_errno(zt_basename(nullptr, 0, &base)), std::pair(-1, EINVAL));

    // Allocation failures leave null.
    failalloc::for_each_failure([](unsigned k, failalloc::Mode mode) {
        char *dir = nullptr, *base = nullptr;
        failalloc::arm(k, mode);
        int dir_result = zt_dirname("a/b", &dir), base_result = zt_basename("a/b", 0, &base);
        failalloc::disarm();
        EXPECT_EQ(dir_result == 0, dir != nullptr);
        EXPECT_EQ(base_result == 0, base != nullptr);
        free(dir);
        free(base);
    });
}

}  // namespace
