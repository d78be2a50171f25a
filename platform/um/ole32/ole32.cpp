// The component runtime: apartments, class lookup in the registry, loading
// in-process servers and asking them for class factories, and the string
// form of identifiers.
#include <objbase.h>

#include <um_text.h>

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace {

// ---- Apartments -------------------------------------------------------------

struct Apartment {
  ULONG initialisations = 0;
  DWORD model = COINIT_MULTITHREADED;
};
thread_local Apartment apartment;

// ---- Identifier strings -----------------------------------------------------

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at text[*at].
bool ReadHex(LPCOLESTR text, size_t *at, int digits, uint32_t *value) {
  uint32_t result = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = HexValue(text[*at]);
    if (digit < 0) return false;  // the terminator is no digit either
    result = result << 4 | static_cast<uint32_t>(digit);
    ++*at;
  }
  *value = result;
  return true;
}

bool Expect(LPCOLESTR text, size_t *at, char16_t c) {
  if (text[*at] != c) return false;
  ++*at;
  return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and nothing after it.
bool ParseBracedGuid(LPCOLESTR text, GUID *guid) {
  size_t at = 0;
  uint32_t value = 0;
  GUID parsed{};
  if (!Expect(text, &at, u'{') || !ReadHex(text, &at, 8, &value)) return false;
  parsed.Data1 = value;
  if (!Expect(text, &at, u'-') || !ReadHex(text, &at, 4, &value)) return false;
  parsed.Data2 = static_cast<WORD>(value);
  if (!Expect(text, &at, u'-') || !ReadHex(text, &at, 4, &value)) return false;
  parsed.Data3 = static_cast<WORD>(value);
  if (!Expect(text, &at, u'-')) return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !Expect(text, &at, u'-')) return false;
    if (!ReadHex(text, &at, 2, &value)) return false;
    parsed.Data4[i] = static_cast<BYTE>(value);
  }
  if (!Expect(text, &at, u'}') || text[at] != 0) return false;
  *guid = parsed;
  return true;
}

// ---- Registry look-ups -----------------------------------------------------

// The default value of HKEY_CLASSES_ROOT\<path>, or nullopt.
std::optional<std::u16string> DefaultValue(const std::u16string &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  std::optional<std::u16string> result;
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_SZ) {
    std::u16string text(bytes / sizeof(WCHAR), u'\0');
    if (RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(text.data()), &bytes) ==
        ERROR_SUCCESS) {
      text.resize(bytes / sizeof(WCHAR));
      while (!text.empty() && text.back() == 0) text.pop_back();
      result = std::move(text);
    }
  }
  RegCloseKey(key);
  return result;
}

std::u16string BracedString(REFGUID guid) {
  OLECHAR text[CHARS_IN_GUID];
  StringFromGUID2(guid, text, CHARS_IN_GUID);
  return text;
}

// ---- In-process servers ----------------------------------------------------

using GetClassObjectEntry = HRESULT(STDMETHODCALLTYPE *)(REFCLSID, REFIID, LPVOID *);

std::mutex serversLock;

// Loads the server once; it stays loaded for the life of the process.
HRESULT ServerEntry(const std::u16string &path, GetClassObjectEntry *entry) {
  static auto *loaded = new std::map<std::string, void *>;
  const std::string file = um_text::ToUtf8(path);
  std::lock_guard guard(serversLock);
  void *&handle = (*loaded)[file];
  if (handle == nullptr) handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    loaded->erase(file);
    return CO_E_DLLNOTFOUND;
  }
  *entry = reinterpret_cast<GetClassObjectEntry>(dlsym(handle, "DllGetClassObject"));
  return *entry == nullptr ? CO_E_ERRORINDLL : S_OK;
}

}  // namespace

HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (apartment.initialisations != 0) {
    if (apartment.model != model) return RPC_E_CHANGED_MODE;
    ++apartment.initialisations;
    return S_FALSE;
  }
  apartment.model = model;
  apartment.initialisations = 1;
  return S_OK;
}

void CoUninitialize(void) {
  if (apartment.initialisations != 0) --apartment.initialisations;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID *ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (pvReserved != nullptr) return E_INVALIDARG;
  if (apartment.initialisations == 0) return CO_E_NOTINITIALIZED;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::optional<std::u16string> server = DefaultValue(u"CLSID\\" + BracedString(rclsid) + u"\\InprocServer32");
  if (!server || server->empty()) return REGDB_E_CLASSNOTREG;
  GetClassObjectEntry entry = nullptr;
  if (HRESULT hr = ServerEntry(*server, &entry); FAILED(hr)) return hr;
  return entry(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IClassFactory *factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void **>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  *lpclsid = GUID_NULL;
  if (lpszProgID[0] == 0) return CO_E_CLASSSTRING;
  std::optional<std::u16string> clsid = DefaultValue(std::u16string(lpszProgID) + u"\\CLSID");
  if (!clsid || !ParseBracedGuid(clsid->c_str(), lpclsid)) return CO_E_CLASSSTRING;
  return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  *pclsid = GUID_NULL;
  if (lpsz == nullptr) return S_OK;  // no text names the null identifier
  if (lpsz[0] == u'{') return ParseBracedGuid(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
  return CLSIDFromProgID(lpsz, pclsid);
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (lpsz == nullptr || cchMax < CHARS_IN_GUID) return 0;
  int at = 0;
  auto put_hex = [&](uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) lpsz[at++] = kHexDigits[(value >> shift) & 0xF];
  };
  lpsz[at++] = u'{';
  put_hex(rguid.Data1, 8);
  lpsz[at++] = u'-';
  put_hex(rguid.Data2, 4);
  lpsz[at++] = u'-';
  put_hex(rguid.Data3, 4);
  lpsz[at++] = u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) lpsz[at++] = u'-';
    put_hex(rguid.Data4[i], 2);
  }
  lpsz[at++] = u'}';
  lpsz[at++] = 0;
  return at;
}
