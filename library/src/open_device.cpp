// Opening an instrument by its device name, and the text helper that removes
// NUL characters from a name or list.
#include "library_routines.h"

#include <new>
#include <string>

namespace {

// "\\.\" + DeviceName in 8-bit text. Latin-1 is the system's 8-bit code page
// here: a character above 0xFF has no 8-bit form, and the path cannot be
// made. Characters, NULs included, are converted as they stand; the open call
// reads the path up to its first NUL, as it does on Windows.
bool Device_Path(const BSTR &DeviceName, std::string *Path) {
  const UINT length = SysStringLen(DeviceName);
  try {
    Path->assign("\\\\.\\");
    Path->reserve(Path->size() + length);
    for (UINT i = 0; i < length; ++i) {
      const OLECHAR character = DeviceName[i];
      if (character > 0xFF) return false;
      Path->push_back(static_cast<char>(static_cast<unsigned char>(character)));
    }
  } catch (const std::bad_alloc &) {
    return false;
  }
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
