// Opening a file where others may have put something else under its name:
// only a regular file is ever used, and nothing blocks, follows a link or
// creates a file at a link's target.
#include "platform/safe_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/support/temp_dir.h"

namespace bw::test {
namespace {

namespace fs = std::filesystem;

TEST(OpenRegularFile, UsesOnlyARegularFileAndNeverBlocks) {
    ::alarm(60);  // a blocking open ends the test program rather than holding it
    const TempDir dir("bwsafe");
    const std::string d = dir.Path() + "/";
    std::ofstream(d + "plain") << "x";
    int unixSocket = -1;
    const struct {
        const char* label;
        std::function<void(const std::string& path)> make;
        int flags;
        bool oneLink;
        long number;  // 0: opened
        const char* why;
    } rows[] = {
        {"regular file", [&](auto& p) { std::ofstream(p) << "x"; }, O_RDONLY, true, 0, ""},
        {"missing", [](auto&) {}, O_RDONLY, false, ENOENT, "No such file or directory"},
        {"missing, made", [](auto&) {}, O_WRONLY | O_CREAT, true, 0, ""},
        {"pipe without a reader, for appending", [](auto& p) { ::mkfifo(p.c_str(), 0600); },
         O_WRONLY | O_APPEND | O_CREAT, false, kUnsafeFile, "a pipe (FIFO)"},
        {"pipe, for reading", [](auto& p) { ::mkfifo(p.c_str(), 0600); }, O_RDONLY, false,
         kUnsafeFile, "a pipe (FIFO)"},
        {"folder", [](auto& p) { fs::create_directory(p); }, O_RDONLY, false, kUnsafeFile,
         "a folder"},
        {"link to a file", [&](auto& p) { fs::create_symlink(d + "plain", p); }, O_RDONLY, false,
         kUnsafeFile, "a symbolic link"},
        {"dangling link, made", [&](auto& p) { fs::create_symlink(d + "target", p); },
         O_WRONLY | O_CREAT, false, kUnsafeFile, "a symbolic link"},
        {"second name of a file", [&](auto& p) { fs::create_hard_link(d + "plain", p); }, O_RDONLY,
         true, kUnsafeFile, "a hard link (more than one name)"},
        {"second name, links allowed", [&](auto& p) { fs::create_hard_link(d + "plain", p); },
         O_RDONLY, false, 0, ""},
        {"socket",
         [&](auto& p) {
             unixSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un a{};
             a.sun_family = AF_UNIX;
             std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
             ::bind(unixSocket, reinterpret_cast<const sockaddr*>(&a), sizeof a);
         },
         O_RDONLY, false, kUnsafeFile, "a socket"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string name = "f" + std::to_string(++n);
        row.make(d + name);
        // Half of them relative to the opened folder, half by path.
        const int dirFd = n % 2 == 0 ? ::open(d.c_str(), O_RDONLY | O_DIRECTORY) : AT_FDCWD;
        ErrorState err;
        const int fd = OpenRegularFile(dirFd, dirFd == AT_FDCWD ? d + name : name, row.flags, 0600,
                                       err, row.oneLink);
        EXPECT_EQ(fd >= 0, row.number == 0);
        EXPECT_EQ(err.number, row.number);
        EXPECT_EQ(err.description, row.why);
        if (fd >= 0) ::close(fd);
        if (dirFd >= 0) ::close(dirFd);
    }
    EXPECT_FALSE(fs::exists(d + "target")) << "made through a link";
    ErrorState device;
    EXPECT_EQ(OpenRegularFile(AT_FDCWD, "/dev/null", O_WRONLY, 0, device), -1);
    EXPECT_EQ(device.description, "a device");
    ::close(unixSocket);
    ::alarm(0);
}

}  // namespace
}  // namespace bw::test
