// Self-registration: what the registration exports write to and remove from
// HKEY_CLASSES_ROOT, from the library's registration table. With P the
// programmatic identifier (type library name "." class name):
//   CLSID\{class}                        @ = P
//   CLSID\{class}\InprocServer32         @ = this library's file,
//                                        ThreadingModel = the table's model
//   CLSID\{class}\ProgID                 @ = P
//   CLSID\{class}\TypeLib                @ = {type library}
//   CLSID\{class}\VERSION                @ = "major.minor"
//   P                                    @ = P
//   P\CLSID                              @ = {class}
//   Interface\{interface}                @ = the interface's name
//   Interface\{interface}\ProxyStubClsid and ProxyStubClsid32
//                                        @ = the type library marshaler
//   Interface\{interface}\TypeLib        @ = {type library}, Version = "major.minor"
// On Windows the type library embedded as resource TYPELIB 1 is registered
// first (TypeLib\{type library}\...), and unregistered last.
#include "automation.h"

#include <olectl.h>

#ifdef _WIN32
#include <oleauto.h>
#else
#include <dlfcn.h>
#include <um_text.h>

#include <climits>
#include <cstdlib>
#endif

#include <optional>

namespace automation {
namespace {

// The standard marshaler of interfaces described by a type library.
constexpr OLECHAR kTypeLibraryMarshaler[] = OLESTR("{00020424-0000-0000-C000-000000000046}");

OleString Text(const OLECHAR *text) { return OleString(text); }

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its terminator.
constexpr int kGuidChars = 39;

OleString GuidText(REFGUID guid) {
  OLECHAR text[kGuidChars];
  StringFromGUID2(guid, text, kGuidChars);
  return text;
}

OleString VersionText(const RegistrationTable &table) {
  OleString version;
  for (WORD part : {table.MajorVersion, table.MinorVersion}) {
    if (!version.empty()) version.push_back(OLESTR('.'));
    OleString digits;
    WORD n = part;
    do {
      digits.insert(digits.begin(), static_cast<OLECHAR>(OLESTR('0') + n % 10));
      n = static_cast<WORD>(n / 10);
    } while (n != 0);
    version += digits;
  }
  return version;
}

OleString ProgId(const RegistrationTable &table) {
  return Text(table.TypeLibraryName) + OLESTR(".") + table.ClassName;
}

// Sets a text value (the default one when `name` is null), creating the key.
bool SetText(const OleString &path, const OLECHAR *name, const OleString &value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                        static_cast<DWORD>((value.size() + 1) * sizeof(OLECHAR)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

std::optional<OleString> DefaultText(const OleString &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  std::optional<OleString> result;
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_SZ) {
    OleString text(bytes / sizeof(OLECHAR) + 1, OLESTR('\0'));
    if (RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(text.data()), &bytes) ==
        ERROR_SUCCESS) {
      text.resize(bytes / sizeof(OLECHAR));
      while (!text.empty() && text.back() == 0) text.pop_back();
      result = text;
    }
  }
  RegCloseKey(key);
  return result;
}

// Removes a key and all below it; a key that is not there is no failure.
bool DeleteTree(const OleString &path) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SameGuidText(const OleString &a, const OleString &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](OLECHAR c) { return c >= OLESTR('a') && c <= OLESTR('z') ? static_cast<OLECHAR>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

bool WriteClassKeys(const RegistrationTable &table, const OleString &module) {
  const OleString progId = ProgId(table);
  const OleString classKey = OLESTR("CLSID\\") + GuidText(table.ClassId);
  const OleString interfaceKey = OLESTR("Interface\\") + GuidText(table.InterfaceId);
  const OleString library = GuidText(table.TypeLibraryId);
  const OleString version = VersionText(table);
  return SetText(classKey, nullptr, progId) && SetText(classKey + OLESTR("\\InprocServer32"), nullptr, module) &&
         SetText(classKey + OLESTR("\\InprocServer32"), OLESTR("ThreadingModel"), table.ThreadingModel) &&
         SetText(classKey + OLESTR("\\ProgID"), nullptr, progId) &&
         SetText(classKey + OLESTR("\\TypeLib"), nullptr, library) &&
         SetText(classKey + OLESTR("\\VERSION"), nullptr, version) && SetText(progId, nullptr, progId) &&
         SetText(progId + OLESTR("\\CLSID"), nullptr, GuidText(table.ClassId)) &&
         SetText(interfaceKey, nullptr, table.InterfaceName) &&
         SetText(interfaceKey + OLESTR("\\ProxyStubClsid"), nullptr, kTypeLibraryMarshaler) &&
         SetText(interfaceKey + OLESTR("\\ProxyStubClsid32"), nullptr, kTypeLibraryMarshaler) &&
         SetText(interfaceKey + OLESTR("\\TypeLib"), nullptr, library) &&
         SetText(interfaceKey + OLESTR("\\TypeLib"), OLESTR("Version"), version);
}

bool RemoveClassKeys(const RegistrationTable &table) {
  bool removed = true;
  const OleString progId = ProgId(table);
  // The identifier may have been taken over by another class since.
  std::optional<OleString> named = DefaultText(progId + OLESTR("\\CLSID"));
  if (!named || SameGuidText(*named, GuidText(table.ClassId))) removed = DeleteTree(progId) && removed;
  removed = DeleteTree(OLESTR("CLSID\\") + GuidText(table.ClassId)) && removed;
  removed = DeleteTree(OLESTR("Interface\\") + GuidText(table.InterfaceId)) && removed;
  return removed;
}

#ifdef _WIN32
HINSTANCE moduleInstance = nullptr;

bool RegisterTypeLibrary(const OleString &module) {
  ITypeLib *library = nullptr;
  if (FAILED(LoadTypeLibEx(module.c_str(), REGKIND_REGISTER, &library))) return false;
  library->Release();
  return true;
}

// The registration of this build's word size: a 64-bit and a 32-bit library
// each register their own.
constexpr SYSKIND kSystemKind = sizeof(void *) == 8 ? SYS_WIN64 : SYS_WIN32;

// TypeLib\{library}\major.minor\0\win64 (or win32): this build's registration
// of the type library, for the neutral locale.
bool TypeLibraryRegistered(const RegistrationTable &table) {
  HKEY key = nullptr;
  const OleString path = OLESTR("TypeLib\\") + GuidText(table.TypeLibraryId) + OLESTR("\\") + VersionText(table) +
                         (kSystemKind == SYS_WIN64 ? OLESTR("\\0\\win64") : OLESTR("\\0\\win32"));
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool UnregisterTypeLibrary(const RegistrationTable &table) {
  const HRESULT hr =
      UnRegisterTypeLib(table.TypeLibraryId, table.MajorVersion, table.MinorVersion, LOCALE_NEUTRAL, kSystemKind);
  // A type library that is not registered (systems answer that with
  // different codes, E_INVALIDARG among them) is no failure: what counts is
  // that it is not registered afterwards.
  return SUCCEEDED(hr) || !TypeLibraryRegistered(table);
}
#endif

}  // namespace

#ifdef _WIN32
void ProcessAttach(HINSTANCE instance) { moduleInstance = instance; }
void ProcessDetach() { moduleInstance = nullptr; }

bool ModulePath(OleString *path) {
  OleString buffer(MAX_PATH, OLESTR('\0'));
  for (;;) {
    const DWORD length = GetModuleFileNameW(moduleInstance, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return false;
    if (length < buffer.size()) {
      buffer.resize(length);
      *path = buffer;
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}
#else
bool ModulePath(OleString *path) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void *>(&ModulePath), &info) == 0 || info.dli_fname == nullptr) return false;
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return false;
  std::optional<std::u16string> wide = um_text::FromUtf8(resolved);
  if (!wide) return false;
  *path = *wide;
  return true;
}
#endif

HRESULT RegisterServer(const RegistrationTable &table) {
  OleString module;
  if (!ModulePath(&module)) return SELFREG_E_CLASS;
#ifdef _WIN32
  if (!RegisterTypeLibrary(module)) return SELFREG_E_TYPELIB;
#endif
  if (!WriteClassKeys(table, module)) {
    UnregisterServer(table);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT UnregisterServer(const RegistrationTable &table) {
  const bool classRemoved = RemoveClassKeys(table);
#ifdef _WIN32
  if (!UnregisterTypeLibrary(table)) return SELFREG_E_TYPELIB;
#endif
  return classRemoved ? S_OK : SELFREG_E_CLASS;
}

}  // namespace automation
