#include <windows.h>

#include <gtest/gtest.h>

#include "device/registry_win.h"

namespace vlvpn {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
  }
  void Set(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
  }
  std::wstring Read(const wchar_t* name) { return ReadRegistryString(HKEY_CURRENT_USER, kKey, name); }

  static constexpr const wchar_t* kKey = L"Software\\VLVPNTests\\Registry";
  HKEY key_ = nullptr;
};

// Only plain strings count, bounded by their stored length, and not overlong ones.
TEST_F(RegistryTest, OnlyPlainStringsOfSaneLengthCount) {
  const wchar_t text[] = L"Example Book 14";
  Set(L"sz", REG_SZ, text, sizeof(text));
  Set(L"unterminated", REG_SZ, text, 4 * sizeof(wchar_t));  // "Exam", no zero stored
  Set(L"expand", REG_EXPAND_SZ, text, sizeof(text));
  const DWORD number = 10;
  Set(L"dword", REG_DWORD, &number, sizeof(number));
  const std::wstring overlong(600, L'x');
  Set(L"long", REG_SZ, overlong.c_str(), static_cast<DWORD>((overlong.size() + 1) * sizeof(wchar_t)));
  EXPECT_EQ(Read(L"sz"), L"Example Book 14");
  EXPECT_EQ(Read(L"unterminated"), L"Exam");
  for (const wchar_t* name : {L"expand", L"dword", L"missing", L"long"}) EXPECT_EQ(Read(name), L"") << name;
  EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, L"Software\\VLVPNTests\\NoSuchKey", L"sz"), L"");
}

}  // namespace
}  // namespace vlvpn
