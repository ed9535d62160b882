#include "host/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>

#include "host/settings.h"
#include "tests/host/host_fixture.h"

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

// The stored type follows the value; a value the declared type cannot hold,
// an unknown type and a broken store fail with their error numbers.
TEST_F(RegistryTest, WrittenTypeFollowsTheValue) {
    const long kTypeError = -2147221504L + 27049;
    struct Case {
        const char* label;
        std::int32_t declared;
        RegVariant value;
        std::optional<RegData> stored;  // nullopt: nothing written
        long err;
    };
    const Case cases[] = {
        {"plain text", 1, std::string("abc"), RegText(1, "abc"), 0},
        {"empty text is one null", 1, std::string(""), RegText(1, ""), 0},
        {"single percent stays plain", 1, std::string("50% off"), RegText(1, "50% off"), 0},
        {"adjacent percents stay plain", 2, std::string("a%%b"), RegText(1, "a%%b"), 0},
        {"reference becomes type 2", 1, std::string("%HOME%/x"), RegText(2, "%HOME%/x"), 0},
        {"number as text", 1, std::int32_t{-5}, RegText(1, "-5"), 0},
        {"16-bit number", 4, std::int16_t{-1}, RegDword(0xffffffff), 0},
        {"32-bit number", 5, std::int32_t{42}, RegDword(42), 0},
        {"text to a number type writes nothing", 4, std::string("42"), {}, 0},
        {"bytes", 3, std::vector<std::uint8_t>{1, 2}, RegData{3, {1, 2}}, 0},
        {"text to bytes", 3, std::string("not bytes"), {}, 26001},
        {"unknown type", 11, std::string("x"), {}, kTypeError},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "V" + std::to_string(n++);
        cRegistry r = Accessor(name, c.declared);
        r.setValue(c.value);
        EXPECT_EQ(r.Err.number, c.err);
        EXPECT_EQ(Raw(name) != nullptr ? std::optional(*Raw(name)) : std::nullopt, c.stored);
    }
    // A broken store (the description itself: the start-up's fatal errors).
    const std::pair<SettingsStore::Result, long> broken[] = {
        {SettingsStore::Result::kOpenFailed, 26001},
        {SettingsStore::Result::kWriteFailed, kTypeError}};
    for (const auto& [fail, err] : broken) {
        machine_.failWrites = fail;
        cRegistry r = Accessor("AppPath");
        r.setValue(std::string("/opt/bw/"));
        EXPECT_EQ(r.Err.number, err);
        EXPECT_NE(r.ErrSource.find(".cRegistry"), std::string::npos);
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

TEST_F(RegistryTest, SettingsWrappersUseTheChosenStore) {
    settings_.SaveSettingX("Brimwarden", "Server", "SMTPLog", "-1");
    EXPECT_EQ(Stored("Server", "SMTPLog"), "-1");
    machine_.doc.Set("HKEY_LOCAL_MACHINE\\Software\\Brimwarden\\General", "Num", RegDword(42));
    EXPECT_EQ(settings_.GetSettingX("Brimwarden", "General", "Num", ""), "42");

    // The per-user store: its own values, and its failures are ignored.
    inst_.useUserHive = true;
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
