// The file replacement on POSIX systems: symbolic links, permission bits,
// owners, the umask, pipes, and read-only for the superuser too.
#include "tests/host/FileIoTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using host::ReplaceFileAtomically;
using P = fs::perms;
using namespace rc_test;

namespace {

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

// A link to a file is followed: the file is replaced, keeping its permission
// bits, and the link stays. A link that names nothing is replaced itself, and
// nothing is made where it points.
TEST(PosixFileIo, LinksAreFollowedToAFileOnly) {
    const P mode = P::owner_read | P::owner_write | P::group_read;
    struct Row {
        const char* what;
        bool absolute;
    } rows[] = {{"relative link", false}, {"absolute link", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string real = dir / "real.ini";
        const std::string link = dir / "link.ini";
        Put(real, "old");
        fs::permissions(real, mode);
        fs::create_symlink(row.absolute ? real : std::string("real.ini"), link);
        ReplaceFileAtomically(link, "new");
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(Get(real), "new");
        EXPECT_EQ(fs::status(real).permissions(), mode);
        EXPECT_EQ(SortedNames(dir), (std::vector<std::string>{"link.ini", "real.ini"}));
    }

    TempDir dir;
    const std::string link = dir / "dangling.ini";
    fs::create_directory(dir.Path() / "elsewhere");
    fs::create_symlink(dir.Path() / "elsewhere" / "planted.ini", link);
    ReplaceFileAtomically(link, "new");
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(Get(link), "new");
    EXPECT_TRUE(fs::is_empty(dir.Path() / "elsewhere"));
}

// Read-only by permission bits counts for every user, the superuser included:
// a file or folder without any write bit is left alone, modes and all.
TEST(PosixFileIo, NoWriteBitIsReadOnlyForEveryUser) {
    struct Row {
        const char* what;
        P filePerms;
        P dirPerms;
    } rows[] = {
        {"file r--r--r--", P::owner_read | P::group_read | P::others_read, P::owner_all},
        {"file r--------", P::owner_read, P::owner_all},
        {"folder r-x", P::owner_read | P::owner_write, P::owner_read | P::owner_exec},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const fs::path sub = dir.Path() / "app";
        fs::create_directory(sub);
        const std::string path = (sub / "LEDINFO.BIN").string();
        Put(path, "old");
        fs::permissions(path, row.filePerms);
        fs::permissions(sub, row.dirPerms);
        EXPECT_THROW(ReplaceFileAtomically(path, "new"), std::system_error);
        fs::permissions(sub, P::owner_all);
        EXPECT_EQ(Get(path), "old");
        EXPECT_EQ(fs::status(path).permissions(), row.filePerms);
        EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()), 1);
    }
}

// A new file gets what the umask leaves of 0666, as one made by open() would;
// the temporary file is private until then.
TEST(PosixFileIo, NewFileTakesTheUmask) {
    TempDir dir;
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}}) {
        SCOPED_TRACE(mask);
        const std::string path = dir / ("new" + std::to_string(mask));
        const mode_t before = ::umask(mask);
        ReplaceFileAtomically(path, "x");
        ::umask(before);
        EXPECT_EQ(StatOf(path).st_mode & 07777, 0666 & ~mask);
    }
}

// The superuser keeps another user's file theirs, set-id bits included; a
// user keeps the group of a file whose group they are in.
TEST(PosixFileIo, OwnerGroupAndSetIdBitsAreKeptWhereThisProcessMay) {
    TempDir dir;
    const std::string path = dir / "owned.ini";
    Put(path, "old");
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(path.c_str(), 02664), 0);
        ReplaceFileAtomically(path, "new");
        const struct stat st = StatOf(path);
        EXPECT_EQ(st.st_uid, ::geteuid());
        EXPECT_EQ(st.st_gid, ::getegid());
        EXPECT_EQ(st.st_mode & 07777, 02664u);
        GTEST_SKIP() << "not the superuser: another user's file cannot be made";
    }
    struct Row {
        uid_t uid;
        gid_t gid;
        mode_t mode;
    } rows[] = {{65534, 65534, 04755}, {1, 2, 02640}, {0, 65534, 0660}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        ASSERT_EQ(::chown(path.c_str(), row.uid, row.gid), 0);
        ASSERT_EQ(::chmod(path.c_str(), row.mode), 0);
        ReplaceFileAtomically(path, "new");
        const struct stat st = StatOf(path);
        EXPECT_EQ(st.st_uid, row.uid);
        EXPECT_EQ(st.st_gid, row.gid);
        EXPECT_EQ(st.st_mode & 07777, row.mode);
    }
}

// A pipe of that name is neither read (which would wait for a writer) nor
// replaced by a file.
TEST(PosixFileIo, PipeOfThatNameIsNeitherReadNorReplaced) {
    TempDir dir;
    const std::string fifo = dir / "settings.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_THROW(host::ReadWholeFile(fifo), std::system_error);
    EXPECT_THROW(ReplaceFileAtomically(fifo, "new"), std::system_error);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(dir.Names().size(), 1u);
}

} // namespace
