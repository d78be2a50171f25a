// The object namespace: device names and symbolic links, compared without
// regard to case. "\DosDevices\" and "\GLOBAL??\" are spellings of "\??\".
// Names are folded once, when they are made; a lookup compares the name it
// is given against the folded ones character by character, so that an open
// neither copies nor allocates. Lookups share the namespace lock; only
// creating and deleting names take it alone.
#include "internal.h"

#include <shared_mutex>
#include <unordered_map>

namespace km::internal {
namespace {

constexpr std::u16string_view kCanonicalDosDevices = u"\\??\\";
constexpr std::u16string_view kDosDevicesAliases[] = {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"};

char16_t FoldChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);  // Latin-1 letters
  return c;
}

// A name as the namespace compares it: `prefix` ("\??\" when the name began
// with one of its aliases, else empty) followed by `rest`, both read folded.
struct NameKey {
  std::u16string_view prefix;
  std::u16string_view rest;
};

bool StartsWithFolded(std::u16string_view name, std::u16string_view folded) {
  if (name.size() < folded.size()) return false;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    if (FoldChar(name[i]) != folded[i]) return false;
  }
  return true;
}

NameKey KeyOf(std::u16string_view name) {
  for (std::u16string_view alias : kDosDevicesAliases) {
    if (StartsWithFolded(name, alias)) return {kCanonicalDosDevices, name.substr(alias.size())};
  }
  return {{}, name};
}

// The stored spelling of a name: folded, the aliases of "\??\" replaced.
std::u16string Canonical(std::u16string_view name) {
  NameKey key = KeyOf(name);
  std::u16string canonical(key.prefix);
  canonical += FoldName(key.rest);
  return canonical;
}

// Hashing and equality over the folded characters, for stored names and
// for keys alike (a stored name is its own key: folding it changes nothing).
struct FoldedHash {
  using is_transparent = void;
  static void Add(std::size_t &hash, std::u16string_view part) {
    for (char16_t c : part) hash = (hash ^ FoldChar(c)) * 1099511628211ULL;  // FNV-1a
  }
  std::size_t operator()(const NameKey &key) const {
    std::size_t hash = 14695981039346656037ULL;
    Add(hash, key.prefix);
    Add(hash, key.rest);
    return hash;
  }
  std::size_t operator()(const std::u16string &name) const { return (*this)(NameKey{{}, name}); }
};

struct FoldedEqual {
  using is_transparent = void;
  bool operator()(const NameKey &key, const std::u16string &stored) const {
    if (key.prefix.size() + key.rest.size() != stored.size()) return false;
    std::u16string_view view(stored);
    if (view.substr(0, key.prefix.size()) != key.prefix) return false;
    view.remove_prefix(key.prefix.size());
    for (std::size_t i = 0; i < view.size(); ++i) {
      if (FoldChar(key.rest[i]) != view[i]) return false;
    }
    return true;
  }
  bool operator()(const std::u16string &stored, const NameKey &key) const { return (*this)(key, stored); }
  bool operator()(const std::u16string &a, const std::u16string &b) const { return a == b; }
};

struct NameEntry {
  PDEVICE_OBJECT device = nullptr;  // a device name
  std::u16string linkTarget;        // a symbolic link: the target's stored spelling
};

std::shared_mutex g_namesLock;
std::unordered_map<std::u16string, NameEntry, FoldedHash, FoldedEqual> g_names;  // by stored spelling
Hook<std::u16string_view> g_symbolicLinkHook;

constexpr int kMaxLinkDepth = 32;

// Checks a caller's counted string: even length within its maximum, a buffer
// when it is not empty, and a name rooted at "\".
NTSTATUS ReadName(PCUNICODE_STRING text, std::u16string *name) {
  if (text == nullptr || (text->Length & 1) != 0 || text->Length > text->MaximumLength ||
      (text->Length != 0 && text->Buffer == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  name->assign(text->Buffer, text->Length / sizeof(WCHAR));
  if (name->empty() || (*name)[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

NTSTATUS Insert(const std::u16string &name, NameEntry entry) {
  std::u16string canonical = Canonical(name);
  std::lock_guard guard(g_namesLock);
  if (!g_names.emplace(std::move(canonical), std::move(entry)).second) return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

}  // namespace

std::u16string FoldName(std::u16string_view name) {
  std::u16string folded(name);
  for (auto &c : folded) c = FoldChar(c);
  return folded;
}

NTSTATUS InsertDeviceName(PCUNICODE_STRING text, PDEVICE_OBJECT device, std::u16string *name) {
  NTSTATUS status = ReadName(text, name);
  if (!NT_SUCCESS(status)) return status;
  return Insert(*name, NameEntry{device, {}});
}

void RemoveDeviceName(const std::u16string &name) {
  std::lock_guard guard(g_namesLock);
  auto it = g_names.find(KeyOf(name));
  if (it != g_names.end()) g_names.erase(it);
}

}  // namespace km::internal

using namespace km::internal;

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  std::u16string link, target;
  NTSTATUS status = ReadName(SymbolicLinkName, &link);
  if (NT_SUCCESS(status)) status = ReadName(DeviceName, &target);
  if (!NT_SUCCESS(status)) return status;
  status = Insert(link, NameEntry{nullptr, Canonical(target)});
  if (NT_SUCCESS(status)) g_symbolicLinkHook(link);
  return status;
}

void km::SetSymbolicLinkHook(std::function<void(std::u16string_view)> hook) { g_symbolicLinkHook.Set(std::move(hook)); }

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  std::u16string link;
  NTSTATUS status = ReadName(SymbolicLinkName, &link);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard guard(g_namesLock);
  auto it = g_names.find(KeyOf(link));
  if (it == g_names.end() || it->second.device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  g_names.erase(it);
  return STATUS_SUCCESS;
}

namespace km::internal {
namespace {
// Follows links from `name` to a device (the namespace lock held).
PDEVICE_OBJECT ResolveLocked(std::u16string_view name) {
  auto it = g_names.find(KeyOf(name));
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    if (it == g_names.end()) return nullptr;
    if (it->second.device != nullptr) return it->second.device;
    it = g_names.find(NameKey{{}, it->second.linkTarget});
  }
  return nullptr;  // a loop of links names nothing
}
}  // namespace

PDEVICE_OBJECT LookupAndReferenceDevice(std::u16string_view name) {
  std::shared_lock guard(g_namesLock);
  PDEVICE_OBJECT device = ResolveLocked(name);
  if (device != nullptr) ReferenceDevice(device);
  return device;
}

}  // namespace km::internal

namespace km {

PDEVICE_OBJECT LookupDevice(std::u16string_view name) {
  std::shared_lock guard(g_namesLock);
  return ResolveLocked(name);
}

bool NameExists(std::u16string_view name) {
  std::shared_lock guard(g_namesLock);
  return g_names.find(KeyOf(name)) != g_names.end();
}

}  // namespace km
