#include "host/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "host/settings.h"
#include "host_fixture.h"

namespace bw {
namespace {

using test::HostTest;

class RegistryTest : public HostTest {
  protected:
    cRegistry Accessor(const std::string& valueKey, std::int32_t type = 1) {
        cRegistry r(machine_);
        r.ClassKey = kHKeyLocalMachine;
        r.SectionKey = "Software\\Brimwarden\\General";
        r.ValueKey = valueKey;
        r.ValueType = type;
        return r;
    }
    const RegData* Raw(const std::string& name) {
        return machine_.doc.Find("HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General", name);
    }
};

TEST_F(RegistryTest, WrittenTypeFollowsTheValue) {
    struct Case {
        const char* label;
        std::int32_t declared;
        RegVariant value;
        bool written;
        RegData stored;
    };
    const Case cases[] = {
        {"plain text", 1, std::string("abc"), true, RegText(1, "abc")},
        {"empty text is one null", 1, std::string(""), true, RegText(1, "")},
        {"single percent stays plain", 1, std::string("50% off"), true, RegText(1, "50% off")},
        {"adjacent percents stay plain", 2, std::string("a%%b"), true, RegText(1, "a%%b")},
        {"reference becomes type 2", 1, std::string("%HOME%/x"), true, RegText(2, "%HOME%/x")},
        {"number as text", 1, std::int32_t{-5}, true, RegText(1, "-5")},
        {"16-bit number", 4, std::int16_t{-1}, true, RegDword(0xffffffff)},
        {"32-bit number", 5, std::int32_t{42}, true, RegDword(42)},
        {"text to a number type writes nothing", 4, std::string("42"), false, {}},
        {"bytes", 3, std::vector<std::uint8_t>{1, 2}, true, RegData{3, {1, 2}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "V" + std::to_string(n++);
        cRegistry r = Accessor(name, c.declared);
        r.setValue(c.value);
        EXPECT_FALSE(r.Err.Failed()) << c.label;
        if (c.written) {
            ASSERT_NE(Raw(name), nullptr) << c.label;
            EXPECT_EQ(*Raw(name), c.stored) << c.label;
        } else {
            EXPECT_EQ(Raw(name), nullptr) << c.label;
        }
    }
}

TEST_F(RegistryTest, ReadGivesTheValueByItsStoredType) {
    ::setenv("BW_TEST_REF", "expanded", 1);
    const struct {
        const char* name;
        RegData stored;
        RegVariant read;
        std::int32_t type;  // 0: not checked
    } cases[] = {
        {"S", RegText(1, "text"), std::string("text"), 0},
        {"E", RegText(2, "<%BW_TEST_REF%|%NO_SUCH_VAR_X%>"),
         std::string("<expanded|%NO_SUCH_VAR_X%>"), 2},
        {"D", RegDword(0xfffffffe), std::int32_t{-2}, 4},
        {"B", RegData{5, {0, 0, 1, 0}}, std::int32_t{256}, 0},
        {"M", RegData{7, {'a', 0, 'b', 0, 0}}, std::string("a\0b\0", 4), 0},
        {"X", RegData{3, {7, 8}}, std::vector<std::uint8_t>{7, 8}, 0},
    };
    for (const auto& c : cases) {
        machine_.doc.Set("HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General", c.name, c.stored);
    }
    cRegistry r = Accessor("S");
    for (const auto& c : cases) {
        r = Accessor(c.name);
        EXPECT_EQ(r.value(), c.read) << c.name;
        EXPECT_EQ(c.type != 0 ? r.ValueType : 0, c.type) << c.name;
    }

    // Missing value, missing key, broken store: the default, and no key is made.
    r = Accessor("Nope");
    r.Default = std::string("dflt");
    EXPECT_EQ(std::get<std::string>(r.value()), "dflt");
    r.SectionKey = "Software\\Elsewhere";
    EXPECT_EQ(std::get<std::string>(r.value()), "dflt");
    EXPECT_FALSE(machine_.doc.HasKey("HKEY_LOCAL_MACHINE\\Software\\Elsewhere"));
    machine_.failReads = true;
    r = Accessor("S");
    r.Default = std::int16_t{7};
    EXPECT_EQ(std::get<std::int16_t>(r.value()), 7);
    EXPECT_FALSE(r.Err.Failed());
}

TEST_F(RegistryTest, WriteFailuresCarryTheExactDescription) {
    const std::string desc =
        "Failed to set registry value Key: '-2147483646',Section: "
        "'Software\\Brimwarden\\General',Key: 'AppPath' to value: '/opt/bw/'";
    machine_.failWrites = SettingsStore::Result::kOpenFailed;
    cRegistry r = Accessor("AppPath");
    r.setValue(std::string("/opt/bw/"));
    EXPECT_EQ(r.Err.number, 26001);
    EXPECT_EQ(r.Err.description, desc);
    EXPECT_NE(r.ErrSource.find(".cRegistry"), std::string::npos);

    machine_.failWrites = SettingsStore::Result::kWriteFailed;
    r = Accessor("AppPath");
    r.setValue(std::string("/opt/bw/"));
    EXPECT_EQ(r.Err.number, -2147221504L + 27049);
    EXPECT_EQ(r.Err.description, desc);

    machine_.failWrites = SettingsStore::Result::kOk;
    r = Accessor("Bin", 3);
    r.setValue(std::string("not bytes"));
    EXPECT_EQ(r.Err.number, 26001);
    r = Accessor("Odd", 11);
    r.setValue(std::string("x"));
    EXPECT_EQ(r.Err.number, -2147221504L + 27049);
}

TEST_F(RegistryTest, SettingsWrappersUseTheChosenStore) {
    settings_.SaveSettingX("Brimwarden", "Server", "SMTPLog", "-1");
    EXPECT_EQ(Stored("Server", "SMTPLog"), "-1");
    EXPECT_EQ(settings_.GetSettingX("Brimwarden", "Server", "SMTPLog", "0"), "-1");
    EXPECT_EQ(settings_.GetSettingX("Brimwarden", "Server", "Missing", "dflt"), "dflt");
    machine_.doc.Set("HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General", "Num", RegDword(42));
    EXPECT_EQ(settings_.GetSettingX("Brimwarden", "General", "Num", ""), "42");

    // The per-user store: its own values, and its failures are ignored.
    inst_.bUseUserHive = true;
    EXPECT_EQ(settings_.GetSettingX("Brimwarden", "Server", "SMTPLog", "0"), "0");
    settings_.SaveSettingX("Brimwarden", "Server", "SMTPLog", "5");
    EXPECT_EQ(settings_.GetSettingX("Brimwarden", "Server", "SMTPLog", "0"), "5");
    EXPECT_NE(user_.doc.Find("HKEY_CURRENT_USER\\Software\\Brimwarden\\Server", "SMTPLog"),
              nullptr);
    user_.failWrites = SettingsStore::Result::kWriteFailed;
    user_.failReads = true;
    settings_.SaveSettingX("Brimwarden", "Server", "SMTPLog", "6");
    EXPECT_EQ(settings_.GetSettingX("Brimwarden", "Server", "SMTPLog", "0"), "0");
    EXPECT_TRUE(service_.events.empty());
    EXPECT_EQ(Stored("Server", "SMTPLog"), "-1");
}

}  // namespace
}  // namespace bw
