// The registry subset over the per-user store: keys and text values, names
// matched without regard to case, keys that exist because keys below them
// do, deletion of trees, the store's file and where it lives.
#include "com_test_support.h"

#include <algorithm>
#include <filesystem>

namespace comtest {
namespace {

using namespace std::string_literals;

class RegistryTest : public StoreTest {};

HKEY Create(const std::u16string &path, DWORD *disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, disposition));
  return key;
}

LSTATUS Open(const std::u16string &path, HKEY *key) {
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key);
}

LSTATUS Set(HKEY key, const char16_t *name, const std::u16string &data, DWORD type = REG_SZ) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                        static_cast<DWORD>(data.size() * sizeof(WCHAR)));
}

TEST_F(RegistryTest, ReadingAnAbsentStoreFindsNothingAndWritesNoFile) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(u"CLSID", &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_FALSE(std::filesystem::exists(StoreFile()));
}

TEST_F(RegistryTest, ValuesSurviveTheFileWithEveryCharacter) {
  const std::u16string awkward = u"quote\" backslash\\ [bracket] = \r\n\ttab \x01 nul\0 end \u00E9 \u4E2D \U0001F600"s;
  SetValue(u"Some\\Key", u"", awkward);
  SetValue(u"Some\\Key", u"Named", u"second");
  SetValue(u"Some\\Key", u"Empty", u"");
  EXPECT_EQ(awkward, Value(u"Some\\Key", u""));
  EXPECT_EQ(u"second", Value(u"Some\\Key", u"Named"));
  EXPECT_EQ(u"", Value(u"Some\\Key", u"Empty"));
  // One line per item: the escapes keep line breaks out of the file.
  const std::string text = StoreText();
  EXPECT_EQ(5, std::count(text.begin(), text.end(), '\n')) << text;
  EXPECT_NE(std::string::npos, text.find("[Some\\Key]\n")) << text;
  EXPECT_NE(std::string::npos, text.find("\"Named\"=\"second\"\n")) << text;
}

TEST_F(RegistryTest, QueryReportsTheSizeAndRefusesASmallBuffer) {
  SetValue(u"K", u"V", u"abc");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(u"K", &key));
  DWORD type = 0;
  DWORD bytes = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"V", nullptr, &type, nullptr, &bytes));
  EXPECT_EQ(8u, bytes);  // three characters and the terminator
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  char16_t small[2] = {u'x', u'x'};
  bytes = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"V", nullptr, &type, reinterpret_cast<BYTE *>(small), &bytes));
  EXPECT_EQ(8u, bytes);
  char16_t exact[4] = {};
  bytes = sizeof exact;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"V", nullptr, &type, reinterpret_cast<BYTE *>(exact), &bytes));
  EXPECT_EQ(u"abc", std::u16string(exact));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"Other", nullptr, &type, nullptr, &bytes));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &bytes));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(RegistryTest, ATerminatorInTheDataIsNotPartOfTheText) {
  HKEY key = Create(u"K");
  EXPECT_EQ(ERROR_SUCCESS, Set(key, u"With", std::u16string(u"ab\0", 3)));
  EXPECT_EQ(ERROR_SUCCESS, Set(key, u"Without", u"ab"));
  RegCloseKey(key);
  EXPECT_EQ(u"ab", Value(u"K", u"With"));
  EXPECT_EQ(u"ab", Value(u"K", u"Without"));
}

TEST_F(RegistryTest, NamesMatchWithoutRegardToCaseAndKeepTheirFirstSpelling) {
  SetValue(u"CLSID\\{ABC}\\InprocServer32", u"ThreadingModel", u"Apartment");
  EXPECT_EQ(u"Apartment", Value(u"clsid\\{abc}\\INPROCSERVER32", u"threadingmodel"));
  SetValue(u"CLSID\\{abc}\\InprocServer32", u"THREADINGMODEL", u"Both");
  EXPECT_EQ(u"Both", Value(u"CLSID\\{ABC}\\InprocServer32", u"ThreadingModel"));
  const std::string text = StoreText();
  EXPECT_NE(std::string::npos, text.find("[CLSID\\{ABC}\\InprocServer32]\n\"ThreadingModel\"=\"Both\"")) << text;
  // Latin-1 letters fold too.
  SetValue(u"\u00C9T\u00C9", u"", u"summer");
  EXPECT_EQ(u"summer", Value(u"\u00E9t\u00E9", u""));
}

TEST_F(RegistryTest, KeysAboveACreatedKeyExistUntilNothingIsBelowThem) {
  DWORD disposition = 0;
  HKEY key = Create(u"A\\B\\C", &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  RegCloseKey(key);
  HKEY parent = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(u"a\\b", &parent));
  RegCloseKey(parent);
  key = Create(u"A\\B", &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  RegCloseKey(key);

  // A\B was created itself and stays; A only existed because of it.
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"A\\B\\C"));
  EXPECT_EQ(ERROR_SUCCESS, Open(u"A\\B", &parent));
  RegCloseKey(parent);
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"A\\B"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(u"A", &parent));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"A"));
  // Nothing is left: neither is the file.
  EXPECT_FALSE(std::filesystem::exists(StoreFile()));
}

TEST_F(RegistryTest, DeletingATreeTakesEveryKeyBelowAndNoNeighbour) {
  SetValue(u"Tree\\One", u"", u"1");
  SetValue(u"Tree\\One\\Deep\\Deeper", u"", u"2");
  SetValue(u"Tree\\OneMore", u"", u"3");  // shares the prefix, not the key
  SetValue(u"Tree", u"Own", u"4");
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"tree\\one"));
  EXPECT_FALSE(Value(u"Tree\\One", u""));
  EXPECT_FALSE(Value(u"Tree\\One\\Deep\\Deeper", u""));
  EXPECT_EQ(u"3", Value(u"Tree\\OneMore", u""));
  EXPECT_EQ(u"4", Value(u"Tree", u"Own"));
}

TEST_F(RegistryTest, DeletingATreeWithoutSubkeyEmptiesTheKeyAndKeepsIt) {
  SetValue(u"Tree", u"Own", u"4");
  SetValue(u"Tree\\Below", u"", u"5");
  HKEY tree = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(u"Tree", &tree));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(tree, nullptr));
  RegCloseKey(tree);
  HKEY again = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, Open(u"Tree", &again));
  RegCloseKey(again);
  LSTATUS status = 0;
  EXPECT_FALSE(Value(u"Tree", u"Own", &status));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, status);
  EXPECT_FALSE(Value(u"Tree\\Below", u"", &status));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, status);
}

TEST_F(RegistryTest, KeysOpenRelativeToAnOpenKey) {
  HKEY base = Create(u"Base");
  HKEY child = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(base, u"Child", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                           &child, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, Set(child, u"V", u"relative"));
  EXPECT_EQ(u"relative", Value(u"Base\\Child", u"V"));
  HKEY same = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(base, nullptr, 0, KEY_READ, &same));
  EXPECT_NE(base, same);
  for (HKEY key : {base, child, same}) EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(RegistryTest, AHandleToADeletedKeyReportsIt) {
  HKEY key = Create(u"Doomed");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Doomed"));
  EXPECT_EQ(ERROR_KEY_DELETED, Set(key, u"V", u"x"));
  DWORD bytes = 0;
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(key, u"V", nullptr, nullptr, nullptr, &bytes));
  HKEY child = nullptr;
  EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExW(key, u"Child", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                               nullptr, &child, nullptr));
  EXPECT_FALSE(std::filesystem::exists(StoreFile()));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(RegistryTest, RefusesBadHandlesPathsAndTypes) {
  HKEY key = Create(u"K");
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
  HKEY other = nullptr;
  for (const char16_t *path : {u"\\Leading", u"Trailing\\", u"Double\\\\Separator", u"Control\x01"}) {
    EXPECT_EQ(ERROR_BAD_PATHNAME, Open(path, &other));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                  KEY_WRITE, nullptr, &other, nullptr));
  }
  key = Create(u"K");
  const DWORD number = 7;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegSetValueExW(key, u"N", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(key, u"N", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"ab"), 3));
  RegCloseKey(key);
  EXPECT_FALSE(Value(u"K", u"N"));
}

TEST_F(RegistryTest, AMalformedStoreIsReportedAndLeftAlone) {
  const std::string broken = "[Key]\nnot a value line\n";
  WriteStoreText(broken);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_BADDB, Open(u"Key", &key));
  EXPECT_EQ(ERROR_BADDB, RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Other", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                         nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_BADDB, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Key"));
  EXPECT_EQ(broken, StoreText());
  for (const std::string &bad : {std::string("@=\"value before any key\"\n"), std::string("[K]\n@=\"open\n"),
                                 std::string("[K]\n@=\"bad \\q escape\"\n"), std::string("[K]\n\"\"=\"x\"\n"),
                                 std::string("[K]\n@=\"x\" trailing\n"), std::string("[K]\n@=\"\xC3\"\n")}) {
    WriteStoreText(bad);
    EXPECT_EQ(ERROR_BADDB, Open(u"K", &key)) << bad;
  }
}

TEST_F(RegistryTest, AnUnrelatedChangeLeavesTheRestOfTheFileAsItWas) {
  SetValue(u"First", u"", u"1");
  SetValue(u"Second\\Deep", u"Name", u"2");
  const std::string before = StoreText();
  SetValue(u"Third", u"", u"3");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Third"));
  EXPECT_EQ(before, StoreText());
}

TEST_F(RegistryTest, TheStoreLivesUnderTheConfigurationDirectoryWithoutTheOverride) {
  unsetenv("TAVRIN_COM_REGISTRY");
  const std::filesystem::path config = Directory() / "config";
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  SetValue(u"Where", u"", u"xdg");
  EXPECT_TRUE(std::filesystem::exists(config / "tavrin" / "com-registry"));
  // A relative XDG_CONFIG_HOME is ignored in favour of ~/.config.
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", (Directory() / "home").c_str(), 1);
  SetValue(u"Where", u"", u"home");
  EXPECT_TRUE(std::filesystem::exists(Directory() / "home" / ".config" / "tavrin" / "com-registry"));
  EXPECT_EQ(u"home", Value(u"Where", u""));
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  EXPECT_EQ(u"xdg", Value(u"Where", u""));
}

}  // namespace
}  // namespace comtest
