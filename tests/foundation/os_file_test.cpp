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

TEST(OsFileTest, MadeFilesGetTheirModeWhateverTheUmaskAndFoundOnesAreNarrowed)
{
    test::TempDir dir;
    const int how = OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_NARROW;
    for (mode_t mask : {0000, 0022, 0077}) {
        SCOPED_TRACE(mask);
        fs::remove(dir.file("f"));
        mode_t before = ::umask(mask);
        OsFd fd;
        int err = os_fileOpen(dir.file("f").c_str(), how, 0640, fd);
        ::umask(before);
        ASSERT_EQ(err, 0);
        os_fileInfo info;
        ASSERT_EQ(os_fileInfoOf(fd.get(), info), 0);
        EXPECT_EQ(info.mode, 0640u);
    }
    // Found: more access is taken away, less is left as it is; without
    // OS_OPEN_NARROW nothing changes.
    struct Case {
        unsigned found;
        int how;
        unsigned after;
    } cases[] = {{0666, how, 0640}, {0604, how, 0600}, {0400, how, 0400}, {0666, how & ~OS_OPEN_NARROW, 0666}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.found);
        ASSERT_EQ(::chmod(dir.file("f").c_str(), c.found), 0);
        OsFd fd;
        ASSERT_EQ(os_fileOpen(dir.file("f").c_str(), c.how, 0640, fd), 0);
        os_fileInfo info;
        ASSERT_EQ(os_pathInfo(dir.file("f").c_str(), false, info), 0);
        EXPECT_EQ(info.mode, c.after);
    }
}

// For writing, a link is followed only when it belongs to the process's
// user or root, link after link; another's is refused as any link is
// without OS_OPEN_FOLLOW. For reading, any link is followed.
TEST(OsFileTest, WritingFollowsOnlyLinksOfThisUserOrRoot)
{
    test::TempDir dir;
    fs::create_directory(dir.file("sub"));
    fs::create_symlink("sub/target", dir.file("relative"));   // relative to the link's directory
    fs::create_symlink(dir.file("relative"), dir.file("chain"));
    fs::create_symlink(dir.file("sub/other"), dir.file("foreign"));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::lchown(dir.file("foreign").c_str(), 65534, 65534), 0);
    }
    const int write = OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_FOLLOW;
    struct Case {
        const char* name;
        int how;
        int err;
        const char* made;  // the file the open made or opened
    } cases[] = {
        {"relative", write, 0, "sub/target"},
        {"chain", write, 0, "sub/target"},
        {"foreign", write, root ? ELOOP : 0, root ? nullptr : "sub/other"},
        {"foreign", write & ~OS_OPEN_FOLLOW, ELOOP, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir.file("sub/target"));
        fs::remove(dir.file("sub/other"));
        OsFd fd;
        EXPECT_EQ(os_fileOpen(dir.file(c.name).c_str(), c.how, 0600, fd), c.err);
        EXPECT_EQ(fs::exists(dir.file("sub/target")), c.made && std::string(c.made) == "sub/target");
        EXPECT_EQ(fs::exists(dir.file("sub/other")), c.made && std::string(c.made) == "sub/other");
    }
    // Reading follows another's link all the same.
    dir.write("sub/other", "x");
    OsFd fd;
    EXPECT_EQ(os_fileOpen(dir.file("foreign").c_str(), OS_OPEN_READ | OS_OPEN_FOLLOW, 0, fd), 0);
}

// A directory or file of `mode`, whatever the umask.
void makeDirectory(const std::string& path, mode_t mode)
{
    ::mkdir(path.c_str(), 0700);
    ::chmod(path.c_str(), mode);
}
void makeFile(const std::string& path, mode_t mode)
{
    ::close(::creat(path.c_str(), 0700));
    ::chmod(path.c_str(), mode);
}

// What another user could change on the way to a program: an owner other
// than this user or root, a name writable by group or others, a link of
// another user, as written or where the links land; a sticky directory
// open to all keeps others from names they do not own.
TEST(OsFileTest, TellsWhetherAnotherUserCouldChangeWhatAPathNames)
{
    if (::geteuid() != 0) GTEST_SKIP() << "files of another user need root";
    test::TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string d = dir.path().string();
    struct Case {
        const char* what;
        std::string path;
        void (*make)(const std::string& d);
        int weakness;
        std::string where;
    } cases[] = {
        {"safe", d + "/p", [](const std::string& d) { makeFile(d + "/p", 0755); }, OS_PATH_SAFE, ""},
        {"missing", d + "/p", [](const std::string&) {}, OS_PATH_SAFE, ""},
        {"another's", d + "/p",
         [](const std::string& d) {
             makeFile(d + "/p", 0755);
             ::chown((d + "/p").c_str(), 65534, 65534);
         },
         OS_PATH_FOREIGN, d + "/p"},
        {"group-writable", d + "/p", [](const std::string& d) { makeFile(d + "/p", 0775); }, OS_PATH_WRITABLE, d + "/p"},
        {"in an open directory", d + "/open/p",
         [](const std::string& d) {
             makeDirectory(d + "/open", 0777);
             makeFile(d + "/open/p", 0755);
         },
         OS_PATH_WRITABLE, d + "/open"},
        {"in a sticky open directory", d + "/sticky/p",
         [](const std::string& d) {
             makeDirectory(d + "/sticky", 01777);
             makeFile(d + "/sticky/p", 0755);
         },
         OS_PATH_SAFE, ""},
        {"missing in a sticky open directory", d + "/sticky/p",
         [](const std::string& d) { makeDirectory(d + "/sticky", 01777); }, OS_PATH_WRITABLE, d + "/sticky"},
        {"through a link to an open directory", d + "/via/p",
         [](const std::string& d) {
             makeDirectory(d + "/open", 0777);
             makeFile(d + "/open/p", 0755);
             ::symlink((d + "/open").c_str(), (d + "/via").c_str());
         },
         OS_PATH_WRITABLE, d + "/open"},
        {"another's link", d + "/p",
         [](const std::string& d) {
             makeFile(d + "/mine", 0755);
             ::symlink((d + "/mine").c_str(), (d + "/p").c_str());
             ::lchown((d + "/p").c_str(), 65534, 65534);
         },
         OS_PATH_FOREIGN, d + "/p"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* n : {"p", "mine", "via", "open", "sticky"}) fs::remove_all(dir.file(n));
        c.make(d);
        os_pathCheck check;
        ASSERT_EQ(os_pathWeakness(c.path, check), 0);
        EXPECT_EQ(check.weakness, c.weakness);
        if (c.weakness != OS_PATH_SAFE) {
            EXPECT_EQ(check.where, c.where);
        }
    }
}

}  // namespace
}  // namespace qzr
