#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace bw {
namespace {

constexpr const char* kKey = "Software\\Brimwarden\\General";

class RegFileTest : public ::testing::Test {
  protected:
    void Put(const std::string& bytes) { test::WriteFile(path_, bytes); }
    std::string Get() { return test::ReadFile(path_); }
    test::TempDir tmp_{"bw_reg"};
    std::string dir_ = tmp_.Path();
    std::string path_ = dir_ + "/etc/registry.reg";
};

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST_F(RegFileTest, ReadsUtf16ExportWithEveryKeptType) {
    // As the registry editor writes it: UTF-16LE with a byte-order mark, hex
    // data of strings in UTF-16LE, long hex values continued with "\" (about
    // 25 bytes a line); and lines of blanks only, as hand edits leave them.
    RegData blob{3, {}};
    std::string hex;
    for (std::size_t i = 0; i < (1u << 20); ++i) {
        blob.data.push_back(static_cast<std::uint8_t>(i & 0xff));
        char b[12];
        std::snprintf(b, sizeof b, i % 25 == 24 ? "%02x,\\\r\n  " : "%02x,", unsigned(i & 0xff));
        hex += b;
    }
    hex.pop_back();  // the comma after the last byte (not at a line end)
    Put(
        Utf16("Windows Registry Editor Version 5.00\r\n   \r\n\t\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General]\r\n"
              "\"AppPath\"=\"C:\\\\Brimwarden\\\\ \\\"q\\\"\"\r\n"
              "\"Blob\"=hex:" +
              hex +
              "\r\n \r\n"
              "\"Count\"=dword:0000002a\r\n"
              "\"Expand\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,00,00\r\n"
              "\"Bin\"=hex:01,02,ff\r\n"
              "\"Big\"=hex(5):00,00,00,2a\r\n"
              "\"List\"=hex(7):61,00,00,00,62,00,\\\r\n"
              "  00,00,00,00\r\n"));
    RegFileStore store(path_);
    RegData d;
    std::string why;
    const std::pair<const char*, RegData> expected[] = {
        {"apppath", RegText(1, "C:\\Brimwarden\\ \"q\"")},
        {"Blob", blob},
        {"Count", RegDword(42)},
        {"Expand", RegText(2, "%HOME%")},
        {"Bin", RegData{3, {1, 2, 0xff}}},
        {"Big", RegData{5, {0, 0, 0, 0x2a}}},
        {"List", RegData{7, {'a', 0, 'b', 0, 0}}}};
    for (const auto& [name, want] : expected) {
        ASSERT_EQ(store.Query(kHKeyLocalMachine, kKey, name, d, why), SettingsStore::Result::kOk)
            << name << ": " << why;
        EXPECT_EQ(d, want) << name;
    }
    EXPECT_EQ(store.Query(kHKeyLocalMachine, kKey, "Nope", d, why),
              SettingsStore::Result::kMissing);
    EXPECT_EQ(store.Query(kHKeyCurrentUser, kKey, "Count", d, why),
              SettingsStore::Result::kMissing);
}

// Every write replaces the file atomically (a new file renamed into place,
// with the old one's mode, and run by root its owner, no temporary file
// left) by 8-bit text that reads back the same.
TEST_F(RegFileTest, WritesEightBitTextThatReadsBackTheSame) {
    Put("Windows Registry Editor Version 5.00\r\n");
    ::chmod(path_.c_str(), 0600);
    const bool root = ::geteuid() == 0;  // the service's user keeps its store after root wrote it
    if (root) {
        ASSERT_EQ(::chown(path_.c_str(), 4321, 4322), 0);
    }
    RegFileStore store(path_);
    std::string why;
    const std::vector<std::pair<std::string, RegData>> values = {
        {"Text", RegText(1, "/opt/brim warden/\"x\"\\")},
        {"Empty", RegText(1, "")},
        {"Expand", RegText(2, "%HOME%/x")},
        {"Num", RegDword(0xfffffffe)},
        {"Bin", RegData{3, {0, 1, 2}}},
        {"Big", RegData{5, {0, 0, 1, 0}}},
        {"List", RegData{7, {'a', 0, 'b', 0, 0}}},
        {"", RegText(1, "default value")},
    };
    for (const auto& [name, v] : values) {
        ASSERT_EQ(store.Set(kHKeyLocalMachine, kKey, name, v, why), SettingsStore::Result::kOk)
            << why;
    }
    const std::string text = Get();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
    EXPECT_NE(text.find("\"Text\"=\"/opt/brim warden/\\\"x\\\"\\\\\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Num\"=dword:fffffffe\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Bin\"=hex:00,01,02\r\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"default value\"\r\n"), std::string::npos);
    for (const auto& [name, v] : values) {
        RegData back;
        ASSERT_EQ(store.Query(kHKeyLocalMachine, kKey, name, back, why), SettingsStore::Result::kOk)
            << name;
        EXPECT_EQ(back, v) << name;
    }
    // Overwriting keeps one value of the name, in its place.
    struct stat before {};
    ::stat(path_.c_str(), &before);
    ASSERT_EQ(store.Set(kHKeyLocalMachine, kKey, "TEXT", RegText(1, "new"), why),
              SettingsStore::Result::kOk);
    RegDocument doc;
    ASSERT_TRUE(doc.Parse(Get(), why));
    ASSERT_EQ(doc.Keys().size(), 1u);
    EXPECT_EQ(doc.Keys()[0].values.size(), values.size());
    EXPECT_EQ(doc.Keys()[0].values[0].second, RegText(1, "new"));
    struct stat after {};
    ::stat(path_.c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(after.st_mode & 0777, 0600u);
    if (root) {
        EXPECT_EQ(after.st_uid * 10000 + after.st_gid, 4321u * 10000 + 4322u);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ + "/etc"), {}), 1);
}

TEST_F(RegFileTest, FailuresLeaveTheStoreAsItWas) {
    Put("this is not an export file\r\n");
    RegData d;
    std::string why;
    EXPECT_EQ(RegFileStore(path_).Query(kHKeyLocalMachine, kKey, "X", d, why),
              SettingsStore::Result::kFailed);
    EXPECT_EQ(RegFileStore(path_).Set(kHKeyLocalMachine, kKey, "X", RegText(1, "v"), why),
              SettingsStore::Result::kOpenFailed);
    EXPECT_EQ(Get(), "this is not an export file\r\n");

    // A pipe in place of the store is refused at once, never waited on.
    const std::string pipe = dir_ + "/etc/pipe.reg";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    EXPECT_EQ(RegFileStore(pipe).Query(kHKeyLocalMachine, kKey, "X", d, why),
              SettingsStore::Result::kFailed);
    EXPECT_EQ(why, pipe + ": not a regular file");
    EXPECT_EQ(RegFileStore(pipe).Set(kHKeyLocalMachine, kKey, "X", RegText(1, "v"), why),
              SettingsStore::Result::kOpenFailed);

    // A store name so long that no temporary name fits beside it: the new
    // content cannot be written, even for root.
    path_ = dir_ + "/etc/" + std::string(250, 'r');
    Put("Windows Registry Editor Version 5.00\r\n");
    why.clear();
    EXPECT_EQ(RegFileStore(path_).Set(kHKeyLocalMachine, kKey, "A", RegText(1, "1"), why),
              SettingsStore::Result::kWriteFailed);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(Get(), "Windows Registry Editor Version 5.00\r\n");
}

TEST_F(RegFileTest, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kPerWriter = 40;
    pid_t kids[2];
    for (int w = 0; w < 2; ++w) {
        kids[w] = ::fork();
        if (kids[w] == 0) {
            RegFileStore store(path_);
            std::string why;
            for (int i = 0; i < kPerWriter; ++i) {
                const std::string name = "W" + std::to_string(w) + "_" + std::to_string(i);
                if (store.Set(kHKeyLocalMachine, kKey, name, RegDword(i), why) !=
                    SettingsStore::Result::kOk) {
                    std::fprintf(stderr, "writer %d: %s\n", w, why.c_str());
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
    }
    for (pid_t k : kids) {
        int status = 0;
        ::waitpid(k, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    RegDocument doc;
    std::string why;
    ASSERT_TRUE(doc.Parse(Get(), why)) << why;
    ASSERT_EQ(doc.Keys().size(), 1u);
    EXPECT_EQ(doc.Keys()[0].values.size(), 2u * kPerWriter);
}

TEST(RegDocumentTest, DeletionsAndRegedit4Files) {
    RegDocument doc;
    std::string why;
    ASSERT_TRUE(
        doc.Parse("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=hex(2):25,41,25,00\n", why))
        << why;
    ASSERT_NE(doc.Find("hkey_local_machine\\a\\b", "X"), nullptr);
    EXPECT_EQ(*doc.Find("HKEY_LOCAL_MACHINE\\A\\B", "x"), RegText(2, "%A%"));  // 8-bit in REGEDIT4
    EXPECT_TRUE(doc.HasKey("HKEY_LOCAL_MACHINE\\A"));  // implied by its sub-key

    EXPECT_FALSE(doc.Parse("Windows Registry Editor Version 5.00\r\n\"x\"=\"outside\"\r\n", why));
    EXPECT_FALSE(
        doc.Parse("Windows Registry Editor Version 5.00\r\n[K]\r\n\"x\"=dword:zz\r\n", why));
    EXPECT_TRUE(doc.Parse("", why));  // an empty file is an empty store

    // Later lines win; a deleted name or key written again comes back at the end.
    ASSERT_TRUE(
        doc.Parse("Windows Registry Editor Version 5.00\r\n"
                  "[HKEY_LOCAL_MACHINE\\K]\r\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n"
                  "[HKEY_LOCAL_MACHINE\\K\\S]\r\n\"s\"=\"old\"\r\n"
                  "[hkey_local_machine\\k]\r\n\"A\"=-\r\n\"B\"=\"3\"\r\n\"a\"=\"4\"\r\n"
                  "[-HKEY_LOCAL_MACHINE\\K\\S]\r\n"
                  "[HKEY_LOCAL_MACHINE\\K\\s]\r\n\"t\"=\"new\"\r\n",
                  why))
        << why;
    ASSERT_EQ(doc.Keys().size(), 2u);
    const RegKey& k = doc.Keys()[0];
    EXPECT_EQ(k.path, "HKEY_LOCAL_MACHINE\\K");
    ASSERT_EQ(k.values.size(), 2u);
    EXPECT_EQ(k.values[0].first, "b");
    EXPECT_EQ(k.values[0].second, RegText(1, "3"));
    EXPECT_EQ(k.values[1].first, "a");
    EXPECT_EQ(k.values[1].second, RegText(1, "4"));
    const RegKey& sub = doc.Keys()[1];
    EXPECT_EQ(sub.path, "HKEY_LOCAL_MACHINE\\K\\s");
    ASSERT_EQ(sub.values.size(), 1u);
    EXPECT_EQ(sub.values[0].first, "t");
}

TEST(RegistryPathsTest, EnvironmentChoosesTheFiles) {
    ::unsetenv("BW_REGISTRY");  // set: the daemon test's store
    EXPECT_EQ(MachineRegistryPath(), "/etc/brimwarden/registry.reg");
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(UserRegistryPath(), "/cfg/brimwarden/registry.reg");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(UserRegistryPath(), "/home/u/.config/brimwarden/registry.reg");
}

}  // namespace
}  // namespace bw
