// Registry operations: defaults, the 99-character text limit, numbers of any 4-byte type.
#include "tarnbeam/app/settings.h"
#include "tarnbeam/app/win_handles.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kKey[] = L"Software\\TarnbeamTests\\Settings";

class Settings : public ::testing::Test {
  protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }

    void SetRaw(const wchar_t *name, DWORD type, const void *data, DWORD size) {
        RegKeyHandle key;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
            0);
        RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE *>(data), size);
    }
};

TEST_F(Settings, MissingValuesFallBack) {
    bool found = true;
    EXPECT_EQ(ReadRegText(kKey, L"LastExecDate", &found), L"");
    EXPECT_FALSE(found);
    EXPECT_EQ(ReadRegNumber(kKey, L"ShowOption", 1), 1u);
    EXPECT_EQ(ReadRegNumber(L"Software\\TarnbeamTests\\NoSuchKey", L"ShowHello", 0), 0u);
}

TEST_F(Settings, TextRoundTripAndLengthLimit) {
    ASSERT_TRUE(WriteRegText(kKey, L"LastExecDate", L"2020/01/23"));
    bool found = false;
    EXPECT_EQ(ReadRegText(kKey, L"LastExecDate", &found), L"2020/01/23");
    EXPECT_TRUE(found);

    const std::wstring longest(99, L'a');
    ASSERT_TRUE(WriteRegText(kKey, L"T99", longest));
    EXPECT_EQ(ReadRegText(kKey, L"T99"), longest);
    ASSERT_TRUE(WriteRegText(kKey, L"T100", std::wstring(100, L'b')));
    EXPECT_EQ(ReadRegText(kKey, L"T100", &found), L"");
    EXPECT_FALSE(found);
    ASSERT_TRUE(WriteRegText(kKey, L"T5000", std::wstring(5000, L'c')));
    EXPECT_EQ(ReadRegText(kKey, L"T5000"), L"");

    // Exactly 200 bytes without a terminator: 100 characters, too long as well.
    const std::wstring hundred(100, L'd');
    SetRaw(L"Raw100", REG_SZ, hundred.data(), 200);
    EXPECT_EQ(ReadRegText(kKey, L"Raw100"), L"");
}

TEST_F(Settings, NumbersOfAnyFourByteType) {
    ASSERT_TRUE(WriteRegNumber(kKey, L"ShowOption", 2));
    EXPECT_EQ(ReadRegNumber(kKey, L"ShowOption", 1), 2u);
    const DWORD three = 3;
    SetRaw(L"Binary", REG_BINARY, &three, 4);
    EXPECT_EQ(ReadRegNumber(kKey, L"Binary", 1), 3u);
    const unsigned long long wide = 7;
    SetRaw(L"Qword", REG_QWORD, &wide, 8);
    EXPECT_EQ(ReadRegNumber(kKey, L"Qword", 9), 9u); // more than 4 bytes: the default
}

} // namespace
