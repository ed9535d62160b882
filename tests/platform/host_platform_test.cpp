#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/checksum.h"
#include "platform/instance_lock.h"
#include "platform/linux_service.h"

namespace bw {
namespace {

TEST(ChecksumTest, IsTheStandardCrc32) {
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32(""), 0u);
}

TEST(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstIsGone) {
    char tmpl[] = "/tmp/bw_lock_XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    ::setenv("BW_RUN_DIR", dir.c_str(), 1);
    {
        FlockInstanceLock first;
        ASSERT_TRUE(first.TryAcquire());
        EXPECT_EQ(first.LockFile(), dir + "/BWTarnOUT.lock");
        FlockInstanceLock second;
        EXPECT_FALSE(second.TryAcquire());
    }
    FlockInstanceLock third;
    EXPECT_TRUE(third.TryAcquire());
    ::unsetenv("BW_RUN_DIR");
    std::filesystem::remove_all(dir);
}

TEST(LinuxServiceTest, UnitFileFollowsTheUnitFolderAndDescription) {
    ::setenv("BW_UNIT_DIR", "/srv/units", 1);
    EXPECT_EQ(LinuxService::UnitFilePath(), "/srv/units/BWTarnOUT.service");
    ::unsetenv("BW_UNIT_DIR");
    EXPECT_EQ(LinuxService::UnitFilePath(), "/etc/systemd/system/BWTarnOUT.service");
    LinuxService svc;
    svc.SetServiceSetting("", "Description", "Delivers mail");
    const std::string unit = svc.UnitText();
    EXPECT_NE(unit.find("\nDescription=Delivers mail\n"), std::string::npos);
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("\nExecStart=/"), std::string::npos);
}

}  // namespace
}  // namespace bw
