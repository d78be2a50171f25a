// The registry functions over the per-user store: every call reads the
// store's file afresh, and every change rewrites it under the store's lock,
// so that programs sharing the store see each other's registrations.
#include "registry_store.h"

#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_set>
#include <vector>

struct HKEY__ {
  std::u16string path;  // below HKEY_CLASSES_ROOT; empty for the root
};

namespace advapi32 {
namespace {

constexpr char16_t kSeparator = u'\\';

std::mutex handlesLock;
std::unordered_set<HKEY> &Handles() {
  static auto *handles = new std::unordered_set<HKEY>;  // outlives every handle
  return *handles;
}

// The path a handle stands for; nullopt for a handle that is not open.
std::optional<std::u16string> PathOf(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return std::u16string();
  std::lock_guard guard(handlesLock);
  if (Handles().count(key) == 0) return std::nullopt;
  return key->path;
}

LSTATUS NewHandle(std::u16string path, PHKEY result) {
  HKEY key = new (std::nothrow) HKEY__{std::move(path)};
  if (key == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::lock_guard guard(handlesLock);
  Handles().insert(key);
  *result = key;
  return ERROR_SUCCESS;
}

size_t Length(LPCWSTR text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// The full path of `subKey` below the key `base` stands for. Components are
// separated by single backslashes, and none may be empty or hold a control
// character.
LSTATUS Resolve(HKEY base, LPCWSTR subKey, std::u16string *path) {
  std::optional<std::u16string> basePath = PathOf(base);
  if (!basePath) return ERROR_INVALID_HANDLE;
  *path = *basePath;
  if (subKey == nullptr || subKey[0] == 0) return ERROR_SUCCESS;
  const std::u16string_view sub(subKey, Length(subKey));
  if (sub.front() == kSeparator || sub.back() == kSeparator || sub.find(u"\\\\") != std::u16string_view::npos)
    return ERROR_BAD_PATHNAME;
  for (char16_t c : sub) {
    if (c < 0x20) return ERROR_BAD_PATHNAME;
  }
  if (!path->empty()) path->push_back(kSeparator);
  path->append(sub);
  return ERROR_SUCCESS;
}

// The key a handle stands for must still be there.
LSTATUS CheckOpen(const Store &store, const std::u16string &basePath) {
  return store.Exists(Fold(basePath)) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

}  // namespace
}  // namespace advapi32

using namespace advapi32;

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  (void)lpClass;
  (void)samDesired;
  (void)lpSecurityAttributes;
  if (Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE || phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::optional<std::u16string> basePath = PathOf(hKey);
  std::u16string path;
  if (LSTATUS status = Resolve(hKey, lpSubKey, &path); status != ERROR_SUCCESS) return status;

  const std::string file = StorePath();
  WriteLock lock(file);
  if (!lock.Held()) return ERROR_CANTWRITE;
  Store store;
  if (LSTATUS status = Load(file, &store); status != ERROR_SUCCESS) return status;
  if (LSTATUS status = CheckOpen(store, *basePath); status != ERROR_SUCCESS) return status;

  const std::u16string folded = Fold(path);
  const bool existed = store.Exists(folded);
  if (!path.empty() && store.keys.count(folded) == 0) {
    store.keys[folded].path = path;
    if (LSTATUS status = Save(file, store); status != ERROR_SUCCESS) return status;
  }
  if (LSTATUS status = NewHandle(path, phkResult); status != ERROR_SUCCESS) return status;
  if (lpdwDisposition != nullptr) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  (void)ulOptions;
  (void)samDesired;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string path;
  if (LSTATUS status = Resolve(hKey, lpSubKey, &path); status != ERROR_SUCCESS) return status;
  Store store;
  if (LSTATUS status = Load(StorePath(), &store); status != ERROR_SUCCESS) return status;
  if (!store.Exists(Fold(path))) return ERROR_FILE_NOT_FOUND;
  return NewHandle(path, phkResult);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
  // Text values only, in whole characters.
  if (Reserved != 0 || dwType != REG_SZ || cbData % sizeof(WCHAR) != 0 || (lpData == nullptr && cbData != 0))
    return ERROR_INVALID_PARAMETER;
  std::optional<std::u16string> path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  if (path->empty()) return ERROR_ACCESS_DENIED;  // the root holds no values here

  std::u16string data(cbData / sizeof(WCHAR), u'\0');
  if (cbData != 0) std::memcpy(data.data(), lpData, cbData);
  if (!data.empty() && data.back() == 0) data.pop_back();  // the terminator is not part of the text
  const std::u16string name = lpValueName == nullptr ? std::u16string() : std::u16string(lpValueName);

  const std::string file = StorePath();
  WriteLock lock(file);
  if (!lock.Held()) return ERROR_CANTWRITE;
  Store store;
  if (LSTATUS status = Load(file, &store); status != ERROR_SUCCESS) return status;
  if (LSTATUS status = CheckOpen(store, *path); status != ERROR_SUCCESS) return status;
  StoredKey &key = store.keys[Fold(*path)];
  if (key.path.empty()) key.path = *path;
  auto [value, added] = key.values.try_emplace(Fold(name), StoredValue{name, data});
  if (!added) value->second.data = data;
  return Save(file, store);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  std::optional<std::u16string> path = PathOf(hKey);
  if (!path) return ERROR_INVALID_HANDLE;
  Store store;
  if (LSTATUS status = Load(StorePath(), &store); status != ERROR_SUCCESS) return status;
  if (LSTATUS status = CheckOpen(store, *path); status != ERROR_SUCCESS) return status;

  auto key = store.keys.find(Fold(*path));
  if (key == store.keys.end()) return ERROR_FILE_NOT_FOUND;
  const std::u16string name = lpValueName == nullptr ? std::u16string() : std::u16string(lpValueName);
  auto value = key->second.values.find(Fold(name));
  if (value == key->second.values.end()) return ERROR_FILE_NOT_FOUND;

  const std::u16string &data = value->second.data;
  const DWORD needed = static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR));
  if (lpType != nullptr) *lpType = REG_SZ;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  if (lpData == nullptr) {
    *lpcbData = needed;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < needed) {
    *lpcbData = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpData, data.c_str(), needed);
  *lpcbData = needed;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  std::u16string path;
  if (LSTATUS status = Resolve(hKey, lpSubKey, &path); status != ERROR_SUCCESS) return status;
  const std::string file = StorePath();
  WriteLock lock(file);
  if (!lock.Held()) return ERROR_CANTWRITE;
  Store store;
  if (LSTATUS status = Load(file, &store); status != ERROR_SUCCESS) return status;
  const std::u16string folded = Fold(path);
  if (!store.Exists(folded)) return ERROR_FILE_NOT_FOUND;

  if (lpSubKey != nullptr && lpSubKey[0] != 0) {
    store.EraseTree(folded);
  } else {
    // The key itself stays: only what is below it and its values go.
    std::optional<StoredKey> kept;
    if (auto key = store.keys.find(folded); key != store.keys.end()) {
      kept = std::move(key->second);
      kept->values.clear();
    }
    store.EraseTree(folded);
    if (kept && !folded.empty()) store.keys[folded] = std::move(*kept);
  }
  return Save(file, store);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  {
    std::lock_guard guard(handlesLock);
    if (Handles().erase(hKey) == 0) return ERROR_INVALID_HANDLE;
  }
  delete hKey;
  return ERROR_SUCCESS;
}
