// Opening an instrument by its device name, and the text helper that removes
// NUL characters from a name or list.
#include "library_routines.h"

#include <new>
#include <string>

namespace {

// The driver names its devices "TAVRIN-" and one slot character, '0' + k for
// slot k from 0 to 15; the platform matches names without regard to case.
constexpr char kNamePrefix[] = "TAVRIN-";
constexpr UINT kNamePrefixLength = sizeof kNamePrefix - 1;
constexpr OLECHAR kFirstSlot = u'0';
constexpr OLECHAR kLastSlot = u'0' + 15;

OLECHAR Upper(OLECHAR c) { return c >= u'a' && c <= u'z' ? static_cast<OLECHAR>(c - (u'a' - u'A')) : c; }

// "\\.\" + DeviceName in 8-bit text, when DeviceName is one of the driver's
// names; no other name is opened, so that no other device or pipe receives
// the driver's requests. As on Windows, the open call reads the path up to
// its first NUL: a name with NULs counts up to the first one.
bool Device_Path(const BSTR &DeviceName, std::string *Path) {
  const UINT length = SysStringLen(DeviceName);
  UINT used = 0;
  while (used < length && DeviceName[used] != 0) ++used;
  if (used != kNamePrefixLength + 1) return false;
  for (UINT i = 0; i < kNamePrefixLength; ++i) {
    if (Upper(DeviceName[i]) != static_cast<OLECHAR>(kNamePrefix[i])) return false;
  }
  const OLECHAR slot = DeviceName[kNamePrefixLength];
  if (slot < kFirstSlot || slot > kLastSlot) return false;
  // Every character is ASCII now, the same byte in every code page.
  Path->assign("\\\\.\\");
  for (UINT i = 0; i < used; ++i) Path->push_back(static_cast<char>(DeviceName[i]));
  return true;
}

}  // namespace

HANDLE Open_Device(const BSTR &DeviceName) {
  std::string path;
  if (!Device_Path(DeviceName, &path)) return nullptr;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  // The invalid-handle value is negative when read as a 32-bit number.
  if (static_cast<int32_t>(reinterpret_cast<intptr_t>(handle)) < 0) return nullptr;
  return handle;
}

BSTR Strip_Nul(const BSTR &Text) {
  const UINT length = SysStringLen(Text);
  UINT kept = 0;
  for (UINT i = 0; i < length; ++i) kept += Text[i] != 0 ? 1 : 0;
  BSTR stripped = SysAllocStringLen(nullptr, kept);
  if (stripped == nullptr) return nullptr;
  UINT next = 0;
  for (UINT i = 0; i < length; ++i) {
    if (Text[i] != 0) stripped[next++] = Text[i];
  }
  return stripped;
}
