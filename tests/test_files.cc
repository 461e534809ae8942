// Files and paths on a file system of the test's own: sizes (a loop
// device's too), copies with their messages, the test letters and the
// permission rule on real ids, built and split paths, and large files.
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

// Each compiled from the same header, with and without large-file support.
std::string exports_with_offsets_of_32_bits();
std::string exports_with_offsets_of_64_bits();

namespace {

using zt_test::stderr_of;
using zt_test::with_errno;

// The size zt_filesize finds, or the text of its errno.
std::string size_of(const char *path)
{
    uint32_t size = 99;
    return zt_filesize(path, &size) == 0 ? std::to_string(size) : strerror(errno);
}

void write_file(const char *path, const std::string &text, mode_t mode = 0644)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    chmod(path, mode);
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

// Sizes of regular files only, 0 on every failure; a copy replaces what was
// at its destination or says why it cannot; a touch makes a missing file.
TEST_F(FilesTest, SizesCopiesAndTouches)
{
    zt_test::FdGuard fds;
    uint32_t size = 99;
    EXPECT_EQ(with_errno(zt_filesize_fd(900, &size)), std::pair(-1, 0)) << "a closed descriptor";
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(size_of("."), strerror(ENOENT)) << "a directory, its errno kept through the close";

    write_file("old", "old and longer");
    write_file("copy", std::string(100000, 'b'));
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("old", "copy"), 0); }), "");
    EXPECT_EQ(size_of("copy"), "14") << "the copy replaces a longer file";
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("none", "x"), -1); }),
              "Error opening none: No such file or directory\n");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("old", "no/x"), -1); }),
              "Error opening no/x: No such file or directory\n");
    EXPECT_EQ(zt_touch("new"), 0);
    EXPECT_EQ(size_of("new"), "0");
    EXPECT_EQ(with_errno(zt_touch("no/such")), std::pair(-1, ENOENT));
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
    const int backing = open("backing", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const bool made = number < 240 && ftruncate(backing, 3 << 20) == 0 &&
                      mknod("disk", S_IFBLK | 0600, makedev(7, number)) == 0;
    const int disk = made ? open("disk", O_RDWR | O_CLOEXEC) : -1;
    const bool attached = disk >= 0 && ioctl(disk, LOOP_SET_FD, backing) == 0;
    const int error = errno;
    const std::string size = attached ? size_of("disk") : "";
    if (attached)
        ioctl(disk, LOOP_CLR_FD, 0);
    close(disk);
    close(backing);
    for (int tries = 0; ioctl(control, LOOP_CTL_REMOVE, number) < 0 && errno == EBUSY && tries < 100; tries++)
        usleep(10000);
    close(control);
    if (!attached)  // qemu-i386, say, does not pass the loop requests on
        GTEST_SKIP() << "no loop device attached: " << strerror(error);
    EXPECT_EQ(size, std::to_string(3 << 20));
}

// What a 32-bit build without large-file support cannot examine: a sparse
// file of 3 GiB (its size still fits the 32-bit count) and entries whose
// inode numbers need 64 bits. Every file function works on both, and a
// touch leaves their content as it was.
TEST_F(FilesTest, FilesOfThreeGigabytesAndWideInodeNumbers)
{
    const int fd = open("large", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(ftruncate(fd, 3u << 30), 0);
    close(fd);
    zt_test::WideInodeDir wide("wide", [](const std::string &lower) {
        mkdir((lower + "/dir").c_str(), 0755);
        write_file((lower + "/dir/five").c_str(), "12345");
    });
    std::vector<std::pair<std::string, std::string>> files = {{"large", std::to_string(3u << 30)}};
    if (wide.problem().empty())
        files.emplace_back("wide/dir/five", "5");
    for (auto [path, length] : files) {
        EXPECT_EQ(zt_touch(path.c_str()), 0) << path;
        EXPECT_EQ(size_of(path.c_str()), length) << path;
        EXPECT_EQ(zt_filetest(path.c_str(), 'r'), 1) << path;
    }
    // The copy reads the large file: its first block cannot be written to a
    // device that is always full, and the destination goes.
    ASSERT_EQ(mknod("full", S_IFCHR | 0666, makedev(1, 7)), 0);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(zt_file_copy("large", "full"), -1); }),
              "Error copying large to full: No space left on device\n");
    EXPECT_EQ(zt_filetest("full", 'e'), 0);
    if (!wide.problem().empty())
        GTEST_SKIP() << wide.problem();
    EXPECT_EQ(zt_buildpath("wide/dir/new/deeper", 0700), 0);
}

// Every letter on every kind of path, errors with their errno, and the
// permission rule on real ids only (the effective ones, root's, decide
// nothing); paths built with every missing directory.
TEST_F(FilesTest, FileTestsAndBuiltPaths)
{
    write_file("file", "");
    ASSERT_EQ(mkdir("dir", 0755), 0);
    ASSERT_EQ(symlink("dir", "link"), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(mknod("chr", S_IFCHR | 0644, makedev(1, 3)), 0);
    ASSERT_EQ(mknod("blk", S_IFBLK | 0644, makedev(7, 0)), 0);
    // Results for the letters b c d e f l p, in that order.
    for (auto [path, results] : {std::pair{"file", "0001100"}, {"dir", "0011000"}, {"link", "0011010"},
                                 {"fifo", "0001001"}, {"chr", "0101000"}, {"blk", "1001000"}}) {
        std::string seen;
        for (char letter : std::string("bcdeflp"))
            seen += std::to_string(zt_filetest(path, letter));
        EXPECT_EQ(seen, results) << path;
    }
    // Only the low byte of the letter counts.
    for (auto [path, letter, result, error] :
         {std::tuple{"dir", 0x100 | 'd', 1, 0}, {"missing", 'e', 0, ENOENT}, {"file/below", 'e', -1, ENOTDIR},
          {"file", 'q', -1, EINVAL}, {"missing", 'q', -1, ENOENT}, {nullptr, 'e', -1, EINVAL}})
        EXPECT_EQ(with_errno(zt_filetest(path, letter)), std::pair(result, error)) << path << " " << letter;

    constexpr uid_t kUser = 1000;
    using Case = std::tuple<const char *, uid_t, gid_t, mode_t, std::string>;  // the results for r, w and x
    for (auto [name, owner, group, mode, rwx] :
         {Case{"group_bit", kUser, kUser, 0044, "100"},  // owner without its bit: the group's
          {"other_bit", kUser, 0, 0004, "100"}, {"strangers", 0, 0, 0400, "000"},
          {"group_only", 0, kUser, 0020, "010"}, {"owner_denied", kUser, kUser, 0077, "111"}}) {
        write_file(name, "", mode);
        ASSERT_EQ(chown(name, owner, group), 0);
        ASSERT_EQ(setresgid(kUser, 0, 0), 0);
        ASSERT_EQ(setresuid(kUser, 0, 0), 0);
        std::string seen;
        for (char letter : {'r', 'w', 'x'})
            seen += std::to_string(zt_filetest(name, letter));
        ASSERT_EQ(setresuid(0, 0, 0), 0);
        ASSERT_EQ(setresgid(0, 0, 0), 0);
        EXPECT_EQ(seen, rwx) << name;
    }
    umask(022);
    for (auto [path, result, error] : {std::tuple<const char *, int, int>{"a/b/c/", 0, 0}, {"a/b/c", 0, 0},
                                       {"a//d/", 0, 0}, {"/", 0, 0}, {"file/x/y", -1, ENOTDIR},
                                       {"file", -1, ENOTDIR}, {"", -1, EINVAL}, {nullptr, -1, EINVAL}})
        EXPECT_EQ(with_errno(zt_buildpath(path, 0750)), std::pair(result, error)) << path;
    struct stat st;
    ASSERT_EQ(stat("a/b", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u) << "the mode of a new directory";
}

TEST(PublicHeader, ModuleEntriesSucceedAndNoExportChangesShapeWithLargeFileSupport)
{
    EXPECT_EQ(Zttools_Init(nullptr), 0);
    EXPECT_EQ(Tcl_ModInit(nullptr), 0);
    const std::string without = exports_with_offsets_of_32_bits();
    const std::string pointer = std::to_string(sizeof(void *));
    EXPECT_NE(without.find("\nzt_filesize_fd " + pointer + "->(4," + pointer + "->4,)4\n"), std::string::npos)
        << without;
    EXPECT_EQ(without, exports_with_offsets_of_64_bits());
}

// A null directory: -1 and a static empty text, not to be freed.
TEST(PathSplit, DirnameAndBasename)
{
    char *dir = nullptr, *base = nullptr;
    for (auto [path, expected] : {std::pair{"a/b/c", "a/b"}, {"/usr/bin", "/usr"}, {"a/", "a"},
                                  {"a//b", "a/"}, {"/usr", ""}, {"abc", ""}, {"/", ""}, {"//", "/"}}) {
        EXPECT_EQ(zt_dirname(path, &dir), *expected ? 0 : -1) << path;
        EXPECT_STREQ(dir, expected) << path;
        if (*expected)
            free(dir);
    }
    EXPECT_EQ(with_errno(zt_dirname("", &dir)), std::pair(-1, EINVAL));
    for (auto [path, sep, expected] : {std::tuple{"a/b/c", '\0', "c"}, {"a/b/", '\0', ""},
                                       {"abc", '\0', "abc"}, {"x:y", ':', "y"}, {"x/y:z", ':', "z"}}) {
        ASSERT_EQ(zt_basename(path, sep, &base), 0) << path;
        EXPECT_STREQ(base, expected);
        free(base);
    }
    EXPECT_EQ(with_errno(zt_basename(nullptr, 0, &base)), std::pair(-1, EINVAL));
    // Allocation failures leave null.
    int dir_result = 0, base_result = 0;
    zt_test::failalloc::for_each_failure(
        [&] {
            dir_result = zt_dirname("a/b", &dir);
            base_result = zt_basename("a/b", 0, &base);
        },
        [&](bool) {
            EXPECT_EQ(dir_result, dir ? 0 : -1);
            EXPECT_EQ(base_result, base ? 0 : -1);
            free(dir);
            free(base);
        });
}

}  // namespace
