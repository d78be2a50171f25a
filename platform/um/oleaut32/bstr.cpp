// BSTR allocation. A BSTR points at its first character; the 32 bits just
// before it hold the string's length in bytes, and a 16-bit NUL follows the
// last byte, so a BSTR is also a NUL-terminated OLECHAR string unless it
// contains NULs of its own (which it keeps).
#include <oleauto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes kept in front of the characters: four unused bytes, so that the
// characters start on an 8-byte boundary, then the 32-bit byte length.
constexpr size_t kHeaderBytes = 8;
constexpr size_t kLengthBytes = sizeof(DWORD);

// The length prefix, the characters and the terminator must together be
// describable in 32 bits; longer strings cannot be allocated.
constexpr uint64_t kMaxStringBytes = UINT32_MAX - kLengthBytes - sizeof(OLECHAR);

BYTE *bytes_of(BSTR s) { return reinterpret_cast<BYTE *>(s); }

DWORD stored_byte_length(BSTR s) {
  DWORD length;
  std::memcpy(&length, bytes_of(s) - kLengthBytes, sizeof length);
  return length;
}

// Allocates a BSTR of `byte_count` bytes, copied from `source` or zeroed
// when `source` is null, followed by a whole NUL OLECHAR.
BSTR allocate(const void *source, uint64_t byte_count) {
  if (byte_count > kMaxStringBytes)
    return nullptr;
  const size_t size = static_cast<size_t>(byte_count);
  auto *block = static_cast<BYTE *>(std::malloc(kHeaderBytes + size + sizeof(OLECHAR)));
  if (block == nullptr)
    return nullptr;
  std::memset(block, 0, kHeaderBytes - kLengthBytes);
  const DWORD length = static_cast<DWORD>(size);
  std::memcpy(block + kHeaderBytes - kLengthBytes, &length, sizeof length);
  BYTE *data = block + kHeaderBytes;
  if (source != nullptr)
    std::memcpy(data, source, size);
  else
    std::memset(data, 0, size);
  data[size] = 0;
  data[size + 1] = 0;
  return reinterpret_cast<BSTR>(data);
}

uint64_t character_bytes(UINT count) { return static_cast<uint64_t>(count) * sizeof(OLECHAR); }

} // namespace

BSTR SysAllocString(const OLECHAR *psz) {
  if (psz == nullptr)
    return nullptr;
  size_t count = 0;
  while (psz[count] != 0)
    ++count;
  return allocate(psz, static_cast<uint64_t>(count) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR *strIn, UINT ui) { return allocate(strIn, character_bytes(ui)); }

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return allocate(psz, len); }

INT SysReAllocStringLen(BSTR *pbstr, const OLECHAR *psz, UINT len) {
  if (pbstr == nullptr)
    return FALSE;
  BSTR old = *pbstr;
  const uint64_t byte_count = character_bytes(len);
  BSTR fresh;
  if (psz != nullptr && psz != old) {
    // The source may lie inside the old string, which stays alive until
    // the copy is made.
    fresh = allocate(psz, byte_count);
  } else {
    // No separate source: the string keeps as much of its old contents as
    // fits, and any growth is zeroed.
    fresh = allocate(nullptr, byte_count);
    if (fresh != nullptr && old != nullptr) {
      const uint64_t old_bytes = stored_byte_length(old);
      std::memcpy(fresh, old, static_cast<size_t>(old_bytes < byte_count ? old_bytes : byte_count));
    }
  }
  if (fresh == nullptr)
    return FALSE;
  SysFreeString(old);
  *pbstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr)
    std::free(bytes_of(bstrString) - kHeaderBytes);
}

UINT SysStringLen(BSTR pbstr) { return pbstr == nullptr ? 0 : stored_byte_length(pbstr) / sizeof(OLECHAR); }

UINT SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : stored_byte_length(bstr); }
