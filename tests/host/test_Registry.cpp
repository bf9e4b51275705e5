#include "host/Registry.h"

#include "host/Exceptions.h"
#include "host/RegistryStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using host::ERegistryException;
using host::TRegistry;
using host::TRegValue;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Each test works in a key of its own under the current user's root and
// removes it afterwards; the same on the system registry and on the store.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string("\\Software\\RadarConfigurator.Tests\\") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        reg_.DeleteKey(path_);
        ASSERT_TRUE(reg_.OpenKey(path_, true));
    }
    void TearDown() override {
        reg_.CloseKey();
        reg_.DeleteKey(path_);
    }

    std::string path_;
    TRegistry reg_;
};

void ExpectRaises(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << message;
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), message);
    }
}

TEST_F(RegistryTest, WritesTextsAndIntegersInTheirStoredForm) {
    reg_.WriteString("Port", "COM1");
    reg_.WriteString("Empty", "");
    reg_.WriteInteger("Minus", -1);
    reg_.WriteInteger("Size", 1024);
    EXPECT_EQ(reg_.ReadRaw("Port"), (TRegValue{host::regSz, B(std::string("COM1\0", 5))}));
    EXPECT_EQ(reg_.ReadRaw("Empty"), (TRegValue{host::regSz, Bytes{0}}));
    EXPECT_EQ(reg_.ReadRaw("Minus"), (TRegValue{host::regDword, Bytes{0xFF, 0xFF, 0xFF, 0xFF}}));
    EXPECT_EQ(reg_.ReadRaw("Size"), (TRegValue{host::regDword, Bytes{0x00, 0x04, 0x00, 0x00}}));
    EXPECT_EQ(reg_.ReadInteger("Minus"), -1);

    reg_.WriteString("Size", "big"); // replaces, type and all
    EXPECT_EQ(reg_.ReadRaw("Size")->Type, host::regSz);
    EXPECT_EQ(reg_.ReadString("size"), "big"); // names ignore letter case
}

TEST_F(RegistryTest, ReadsTextsAsTheComponentNeeds) {
    struct Row {
        const char* label;
        std::optional<TRegValue> stored;
        std::string expected; // or the message
        bool raises;
    } rows[] = {
        {"missing", std::nullopt, "", false},
        {"size 0 text", TRegValue{host::regSz, {}}, "", false},
        {"size 0 binary", TRegValue{host::regBinary, {}}, "", false},
        {"text", TRegValue{host::regSz, B(std::string("COM3\0", 5))}, "COM3", false},
        {"up to first zero", TRegValue{host::regSz, B(std::string("ab\0cd\0", 6))}, "ab", false},
        {"no terminator", TRegValue{host::regSz, B("ab")}, "ab", false},
        {"expand text", TRegValue{host::regExpandSz, B(std::string("%X%\0", 4))}, "%X%", false},
        {"dword", TRegValue{host::regDword, Bytes{1, 0, 0, 0}}, "Invalid data type for 'V'", true},
        {"binary", TRegValue{host::regBinary, Bytes{65}}, "Invalid data type for 'V'", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        reg_.DeleteValue("V");
        if (r.stored)
            reg_.WriteRaw("V", *r.stored);
        if (r.raises)
            ExpectRaises([&] { reg_.ReadString("V"); }, r.expected);
        else
            EXPECT_EQ(reg_.ReadString("V"), r.expected);
    }
}

TEST_F(RegistryTest, ReadsIntegersOrRaisesWithTheValueName) {
    struct Row {
        const char* label;
        std::optional<TRegValue> stored;
        std::string message; // empty: reads 0x01020304
    } rows[] = {
        {"dword", TRegValue{host::regDword, Bytes{4, 3, 2, 1}}, ""},
        {"missing", std::nullopt, "Failed to get data for 'Buffer.InputSize'"},
        {"text 1024", TRegValue{host::regSz, B(std::string("1024\0", 5))},
         "Invalid data type for 'Buffer.InputSize'"},
        {"short text", TRegValue{host::regSz, B(std::string("12\0", 3))},
         "Invalid data type for 'Buffer.InputSize'"},
        {"binary of 4", TRegValue{host::regBinary, Bytes{4, 3, 2, 1}},
         "Invalid data type for 'Buffer.InputSize'"},
        {"short dword", TRegValue{host::regDword, Bytes{4, 3}},
         "Failed to get data for 'Buffer.InputSize'"},
        {"long dword", TRegValue{host::regDword, Bytes(8, 1)},
         "Failed to get data for 'Buffer.InputSize'"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        reg_.DeleteValue("Buffer.InputSize");
        if (r.stored)
            reg_.WriteRaw("Buffer.InputSize", *r.stored);
        if (r.message.empty())
            EXPECT_EQ(reg_.ReadInteger("Buffer.InputSize"), 0x01020304);
        else
            ExpectRaises([&] { reg_.ReadInteger("Buffer.InputSize"); }, r.message);
    }
}

TEST_F(RegistryTest, RefusedWritesRaiseAndChangeNothing) {
    reg_.WriteString("Port", "COM1");
    TRegistry readOnly;
    ASSERT_TRUE(readOnly.OpenKeyReadOnly(path_));
    ExpectRaises([&] { readOnly.WriteString("Port", "COM2"); }, "Failed to set data for 'Port'");
    ExpectRaises([&] { readOnly.WriteInteger("Baud", 1); }, "Failed to set data for 'Baud'");
    EXPECT_EQ(readOnly.ReadString("Port"), "COM1");
    EXPECT_FALSE(readOnly.ValueExists("Baud"));

    TRegistry closed;
    ExpectRaises([&] { closed.WriteString("Port", "x"); }, "Failed to set data for 'Port'");
    ExpectRaises([&] { closed.ReadInteger("Size"); }, "Failed to get data for 'Size'");

    TRegistry other;
    ASSERT_TRUE(other.OpenKey(path_, false));
    reg_.CloseKey();
    ASSERT_TRUE(reg_.DeleteKey(path_));
    ExpectRaises([&] { other.WriteString("Port", "x"); }, "Failed to set data for 'Port'");
}

TEST_F(RegistryTest, OpensKeysByAbsoluteAndRelativePaths) {
    EXPECT_EQ(reg_.CurrentPath(), path_.substr(1));
    ASSERT_TRUE(reg_.OpenKey("Sub\\Deeper", true)); // from the current key
    EXPECT_EQ(reg_.CurrentPath(), path_.substr(1) + "\\Sub\\Deeper");
    reg_.WriteString("X", "1");
    EXPECT_FALSE(reg_.OpenKey(path_ + "\\Nope", false));
    EXPECT_FALSE(reg_.HasCurrentKey());
    EXPECT_FALSE(reg_.OpenKeyReadOnly(path_ + "\\Nope"));
    EXPECT_TRUE(reg_.KeyExists(path_ + "\\SUB\\deeper"));
    ASSERT_TRUE(reg_.OpenKey(path_, false));
    EXPECT_EQ(reg_.GetValueNames(), std::vector<std::string>{});
    EXPECT_TRUE(reg_.DeleteKey("Sub")); // with everything below it
    EXPECT_FALSE(reg_.KeyExists(path_ + "\\Sub\\Deeper"));
    EXPECT_FALSE(reg_.DeleteKey("\\")); // never the root
}

TEST(RegistryStoreTest, SavesAndLoadsEveryKindOfValue) {
    host::TRegistryStore store;
    const std::string key = "HKEY_CURRENT_USER\\Software\\Radar";
    store.CreateKey(key);
    store.CreateKey(key + "\\Empty");
    std::vector<std::pair<std::string, TRegValue>> values = {
        {"Port", {host::regSz, B(std::string("COM1\0", 5))}},
        {"Quote\"d\\", {host::regSz, B(std::string("a \"b\" \\c\0", 10))}},
        {"", {host::regSz, B(std::string("default\0", 8))}},
        {"Size", {host::regDword, {0xFF, 0xFF, 0xFF, 0xFF}}},
        {"Blob", {host::regBinary, {1, 2, 254}}},
        {"Odd", {host::regSz, B("no zero")}},
        {"Lines", {host::regSz, B(std::string("a\nb\0", 4))}},
        {"None", {host::regNone, {}}},
        {"Q", {host::regQword, Bytes(8, 7)}},
    };
    for (const auto& [n, v] : values)
        ASSERT_TRUE(store.SetValue(key, n, v));

    const std::string text = store.ToText();
    EXPECT_NE(text.find("\n[HKEY_CURRENT_USER\\Software\\Radar]\n\"Port\"=\"COM1\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n\"Size\"=dword:ffffffff\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"Blob\"=hex:01,02,fe\n"), std::string::npos) << text;

    const std::string file = ::testing::TempDir() + "RegistryStoreTest.reg";
    store.SaveToFile(file);
    host::TRegistryStore loaded;
    loaded.LoadFromFile(file);
    std::filesystem::remove(file);
    EXPECT_EQ(loaded.ToText(), text);
    EXPECT_TRUE(loaded.KeyExists(key + "\\EMPTY"));
    for (const auto& [n, v] : values)
        EXPECT_EQ(loaded.GetValue(key, n), v) << n;
}

TEST(RegistryStoreTest, RejectsAMalformedFileAndKeepsItsContents) {
    host::TRegistryStore store;
    store.FromText("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"K\"=dword:00000001\n");
    const char* bad[] = {"\"K\"=\"v\"\n",                           // value before any key
                         "[HKEY_CURRENT_USER\\A]\n\"K\"=dword:1\n", // short dword
                         "[HKEY_CURRENT_USER\\A]\n\"K\"=hex:0g\n",
                         "[HKEY_CURRENT_USER\\A]\n\"K\"=\"open\n",
                         "[HKEY_CURRENT_USER\\A\n",
                         "[HKEY_CURRENT_USER\\A]\nK=1\n"};
    for (const char* text : bad) {
        EXPECT_THROW(store.FromText(text), ERegistryException) << text;
        EXPECT_EQ(store.GetValue("HKEY_CURRENT_USER\\a", "k"),
                  (TRegValue{host::regDword, {1, 0, 0, 0}}));
    }
}

} // namespace
