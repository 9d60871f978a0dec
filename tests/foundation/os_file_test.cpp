// The file layer under the driver: links never followed on open, exclusive
// creation, the kinds of names, whole writes and reads at an offset, the
// directory listing and the working directory.
#include "os/os_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qzr {
namespace {

namespace fs = std::filesystem;

TEST(OsFileTest, OpenNeverFollowsALinkNorMakesWhatItPointsAt)
{
    test::TempDir dir;
    fs::create_symlink(dir.file("target"), dir.file("link"));
    OsFd fd;
    EXPECT_EQ(os_fileOpen(dir.file("link").c_str(), OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_TRUNCATE, 0666, fd),
              ELOOP);
    EXPECT_FALSE(fd.valid());
    EXPECT_FALSE(fs::exists(dir.file("target")));
}

TEST(OsFileTest, ExclusiveCreationRefusesAnExistingNameAndOpensCloseOnExec)
{
    test::TempDir dir;
    const int how = OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_EXCLUSIVE;
    OsFd fd;
    ASSERT_EQ(os_fileOpen(dir.file("f").c_str(), how, 0600, fd), 0);
    EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);
    int first = fd.get();
    EXPECT_EQ(os_fileOpen(dir.file("f").c_str(), how, 0600, fd), EEXIST);
    EXPECT_EQ(fd.get(), first);  // kept as it was
    EXPECT_EQ(fd.close(), 0);
    EXPECT_FALSE(fd.valid());
}

TEST(OsFileTest, TellsTheKindOfEachName)
{
    test::TempDir dir;
    dir.write("file", "x");
    fs::create_directory(dir.file("dir"));
    fs::create_symlink(dir.file("file"), dir.file("link"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        const char* name;
        bool follow;
        int err;
        int kind;
    };
    for (const Case& c : {Case{"file", false, 0, OS_KIND_REGULAR}, Case{"dir", false, 0, OS_KIND_DIRECTORY},
                          Case{"link", false, 0, OS_KIND_LINK}, Case{"link", true, 0, OS_KIND_REGULAR},
                          Case{"fifo", true, 0, OS_KIND_OTHER}, Case{"missing", true, ENOENT, OS_KIND_OTHER}}) {
        SCOPED_TRACE(std::string(c.name) + (c.follow ? " followed" : ""));
        os_fileInfo info;
        EXPECT_EQ(os_pathInfo(dir.file(c.name).c_str(), c.follow, info), c.err);
        EXPECT_EQ(info.kind, c.kind);
    }
}

TEST(OsFileTest, WritesWholeReadsAtAnOffsetAndSetsTheMode)
{
    test::TempDir dir;
    std::string text(3 << 20, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    OsFd fd;
    ASSERT_EQ(os_fileOpen(dir.file("f").c_str(), OS_OPEN_READ | OS_OPEN_WRITE | OS_OPEN_CREATE, 0666, fd), 0);
    ASSERT_EQ(os_writeAll(fd.get(), text.data(), text.size()), 0);
    EXPECT_EQ(os_fileSyncData(fd.get()), 0);
    EXPECT_EQ(os_fileSync(fd.get()), 0);

    char part[5] = {};
    EXPECT_EQ(os_readAt(fd.get(), part, 4, 27), 4);
    EXPECT_STREQ(part, "bcde");
    EXPECT_EQ(os_writeAt(fd.get(), "XY", 2, 1), 2);
    ASSERT_EQ(os_fileTruncate(fd.get(), 4), 0);
    EXPECT_EQ(os_readAt(fd.get(), part, 4, 0), 4);
    EXPECT_STREQ(part, "aXYd");
    EXPECT_EQ(os_readAt(fd.get(), part, 4, 4), 0);

    ASSERT_EQ(os_fileSetMode(fd.get(), 0640), 0);
    os_fileInfo info;
    ASSERT_EQ(os_fileInfoOf(fd.get(), info), 0);
    EXPECT_EQ(info.kind, OS_KIND_REGULAR);
    EXPECT_EQ(info.mode, 0640u);
    EXPECT_GT(info.mtime, 0);
    EXPECT_GE(info.mtimeNsec, 0);
    EXPECT_LT(info.mtimeNsec, 1000000000);
    EXPECT_EQ(os_writeAll(-1, "x", 1), EBADF);
}

TEST(OsFileTest, RenamesRemovesAndListsEveryName)
{
    test::TempDir dir;
    dir.write("a", "1");
    dir.write("b", "2");
    EXPECT_EQ(os_rename(dir.file("a").c_str(), dir.file("b").c_str()), 0);
    EXPECT_EQ(dir.read("b"), "1");
    EXPECT_EQ(os_rename(dir.file("a").c_str(), dir.file("c").c_str()), ENOENT);
    dir.write("c", "3");
    EXPECT_EQ(os_unlink(dir.file("c").c_str()), 0);
    EXPECT_EQ(os_unlink(dir.file("c").c_str()), ENOENT);

    std::vector<std::string> names;
    ASSERT_EQ(os_listDirectory(dir.path().c_str(), names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "b"}));
    EXPECT_EQ(os_listDirectory(dir.file("none").c_str(), names), ENOENT);
}

TEST(OsFileTest, ChangesAndReadsTheWorkingDirectory)
{
    test::TempDir dir;
    std::string before;
    ASSERT_EQ(os_currentDirectory(before), 0);
    ASSERT_EQ(os_changeDirectory(dir.path().c_str()), 0);
    std::string now;
    EXPECT_EQ(os_currentDirectory(now), 0);
    EXPECT_EQ(fs::path(now), fs::canonical(dir.path()));
    EXPECT_EQ(os_changeDirectory(dir.file("none").c_str()), ENOENT);
    EXPECT_EQ(os_changeDirectory(before.c_str()), 0);
}

TEST(OsFileTest, MarksALibrarysDescriptorCloseOnExec)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    OsFd r(fds[0]), w(fds[1]);
    EXPECT_EQ(::fcntl(r.get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(os_setCloseOnExec(r.get()), 0);
    EXPECT_NE(::fcntl(r.get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_FALSE(os_isTerminal(r.get()));
    EXPECT_EQ(os_setCloseOnExec(-1), EBADF);
}

}  // namespace
}  // namespace qzr
