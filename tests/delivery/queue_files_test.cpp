// Queue files: line reading, claims by lock, and filing by move or delete.
#include "platform/queue_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace bw {
namespace {

class QueueFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/bwqf.XXXXXX";
        dir_ = std::string(::mkdtemp(tmpl)) + "/";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ + name, std::ios::binary) << bytes;
        return dir_ + name;
    }
    std::vector<std::string> ReadAll(const std::string& bytes) {
        ErrorState err;
        const auto no = files_.ClaimFile(Write("r.dat", bytes), err);
        std::vector<std::string> lines;
        std::string line;
        while (!files_.AtEndNo(no)) {
            EXPECT_EQ(files_.ReadLineNo(no, line, err), LineRead::kLine);
            lines.push_back(line);
        }
        EXPECT_EQ(files_.ReadLineNo(no, line, err), LineRead::kEnd);
        files_.CloseFileNo(no);
        return lines;
    }
    std::string dir_;
    QueueFiles files_;
};

TEST_F(QueueFilesTest, LinesEndWithCrLfOrCrButNotLf) {
    using V = std::vector<std::string>;
    EXPECT_EQ(ReadAll("a\r\nb\rc\nd\r\n"), (V{"a", "b", "c\nd"}));
    EXPECT_EQ(ReadAll("last line without end"), (V{"last line without end"}));
    EXPECT_EQ(ReadAll("\r\n\r\n"), (V{"", ""}));
    EXPECT_EQ(ReadAll(""), V{});
    // A CR LF split across the reader's 64 KB buffer is still one line end.
    const std::string big(64 * 1024 - 1, 'x');
    EXPECT_EQ(ReadAll(big + "\r\nnext"), (V{big, "next"}));
}

TEST_F(QueueFilesTest, ClaimIsExclusiveUntilClosedAndNumbersAreReused) {
    ErrorState err;
    const std::string path = Write("m.dat", "x\r\n");
    const auto first = files_.ClaimFile(path, err);
    ASSERT_GT(first, 0);
    EXPECT_EQ(files_.ClaimFile(path, err), 0);
    EXPECT_EQ(err.number, EWOULDBLOCK);
    err.Clear();
    EXPECT_EQ(files_.ClaimFile(dir_ + "missing.dat", err), 0);
    EXPECT_EQ(err.number, ENOENT);
    files_.CloseFileNo(first);
    files_.CloseFileNo(first);  // twice is harmless
    files_.CloseFileNo(0);
    err.Clear();
    EXPECT_EQ(files_.ClaimFile(path, err), first);
    files_.CloseFileNo(first);
    EXPECT_EQ(files_.OpenFileNoCount(), 0);
}

TEST_F(QueueFilesTest, MoveNeverOverwritesWhereToldAndDeleteRemoves) {
    ErrorState err;
    const std::string a = Write("a.msg", "new");
    const std::string b = Write("b.msg", "old");
    EXPECT_FALSE(MoveFileSafe(a, b, true, err));
    EXPECT_EQ(err.number, EEXIST);
    EXPECT_TRUE(std::filesystem::exists(a));
    err.Clear();
    std::filesystem::create_directory(dir_ + "BAD");
    EXPECT_TRUE(MoveFileSafe(a, dir_ + "BAD/a.msg", true, err));
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_TRUE(DeleteFileSafe(b, err));
    EXPECT_FALSE(DeleteFileSafe(b, err));
    EXPECT_EQ(err.number, ENOENT);
}

TEST_F(QueueFilesTest, MoveAcrossFileSystemsCopiesThenDeletes) {
    struct stat here {};
    struct stat shm {};
    if (::stat(dir_.c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 ||
        here.st_dev == shm.st_dev || ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second writable file system";
    }
    ErrorState err;
    const std::string src = Write("x.msg", std::string(200000, 'z'));
    const std::string dst = "/dev/shm/bwqf-" + std::to_string(::getpid()) + ".msg";
    ASSERT_TRUE(MoveFileSafe(src, dst, true, err)) << err.description;
    EXPECT_FALSE(std::filesystem::exists(src));
    EXPECT_EQ(std::filesystem::file_size(dst), 200000u);
    // No temporary name is left behind.
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm")) {
        EXPECT_EQ(e.path().string().find(dst + "."), std::string::npos);
    }
    const std::string again = Write("y.msg", "y");
    EXPECT_FALSE(MoveFileSafe(again, dst, true, err));
    EXPECT_TRUE(std::filesystem::exists(again));
    std::filesystem::remove(dst);
}

// Envelopes are listed whatever the case of their extension, nothing else is.
TEST_F(QueueFilesTest, ListsEnvelopesOnly) {
    for (const char* name : {"b.DAT", "a.dat", "c.msg", "d.dat.tmp"}) Write(name, "x");
    ErrorState err;
    EXPECT_EQ(ListQueueFolder(dir_, err), (std::vector<std::string>{"a.dat", "b.DAT"}));
    EXPECT_FALSE(err.Failed());
}

}  // namespace
}  // namespace bw
