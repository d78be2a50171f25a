#include "com_test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace comtest {

namespace {
constexpr const char *kVariables[] = {"TAVRIN_COM_REGISTRY", "XDG_CONFIG_HOME", "HOME"};
}

void StoreTest::SetUp() {
  char pattern[] = "/tmp/com-store-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  directory_ = pattern;
  for (int i = 0; i < 3; ++i) {
    if (const char *value = std::getenv(kVariables[i])) savedVariables_[i] = value;
  }
  setenv("TAVRIN_COM_REGISTRY", StoreFile().c_str(), 1);
}

void StoreTest::TearDown() {
  for (int i = 0; i < 3; ++i) {
    if (savedVariables_[i]) {
      setenv(kVariables[i], savedVariables_[i]->c_str(), 1);
    } else {
      unsetenv(kVariables[i]);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string StoreTest::StoreText() const {
  std::ifstream file(StoreFile(), std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void StoreTest::WriteStoreText(const std::string &text) const {
  std::ofstream file(StoreFile(), std::ios::binary | std::ios::trunc);
  file << text;
}

void StoreTest::SetValue(const std::u16string &path, const std::u16string &name, const std::u16string &data) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_WRITE, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE *>(data.c_str()),
                                          static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR))));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

std::optional<std::u16string> StoreTest::Value(const std::u16string &path, const std::u16string &name,
                                               LSTATUS *status) {
  LSTATUS ignored = 0;
  if (status == nullptr) status = &ignored;
  HKEY key = nullptr;
  *status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key);
  if (*status != ERROR_SUCCESS) return std::nullopt;
  DWORD type = 0;
  DWORD bytes = 0;
  const LPCWSTR valueName = name.empty() ? nullptr : name.c_str();
  *status = RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &bytes);
  std::optional<std::u16string> result;
  if (*status == ERROR_SUCCESS) {
    std::u16string text(bytes / sizeof(WCHAR), u'\0');
    *status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE *>(text.data()), &bytes);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    if (*status == ERROR_SUCCESS) {
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(u'\0', text.back()) << "the value comes with its terminator";
      text.pop_back();
      result = text;
    }
  }
  RegCloseKey(key);
  return result;
}

}  // namespace comtest
