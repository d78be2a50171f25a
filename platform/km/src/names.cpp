// The object namespace: device names and symbolic links, compared without
// regard to case. "\DosDevices\" and "\GLOBAL??\" are spellings of "\??\".
#include "internal.h"

#include <map>

namespace km::internal {
namespace {

struct NameEntry {
  PDEVICE_OBJECT device = nullptr;  // a device name
  std::u16string linkTarget;        // a symbolic link
};

std::mutex g_namesLock;
std::map<std::u16string, NameEntry> g_names;

constexpr int kMaxLinkDepth = 32;

char16_t FoldChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);  // Latin-1 letters
  return c;
}

std::u16string Canonical(std::u16string_view name) {
  std::u16string folded = FoldName(name);
  for (std::u16string_view alias : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    if (folded.starts_with(alias)) return u"\\??\\" + folded.substr(alias.size());
  }
  return folded;
}

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
  std::lock_guard guard(g_namesLock);
  if (!g_names.emplace(Canonical(name), std::move(entry)).second) return STATUS_OBJECT_NAME_COLLISION;
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
  g_names.erase(Canonical(name));
}

}  // namespace km::internal

using namespace km::internal;

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  std::u16string link, target;
  NTSTATUS status = ReadName(SymbolicLinkName, &link);
  if (NT_SUCCESS(status)) status = ReadName(DeviceName, &target);
  if (!NT_SUCCESS(status)) return status;
  return Insert(link, NameEntry{nullptr, target});
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  std::u16string link;
  NTSTATUS status = ReadName(SymbolicLinkName, &link);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard guard(g_namesLock);
  auto it = g_names.find(Canonical(link));
  if (it == g_names.end() || it->second.device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  g_names.erase(it);
  return STATUS_SUCCESS;
}

namespace km::internal {
namespace {
PDEVICE_OBJECT ResolveLocked(std::u16string_view name) {
  std::u16string current = Canonical(name);
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    auto it = g_names.find(current);
    if (it == g_names.end()) return nullptr;
    if (it->second.device != nullptr) return it->second.device;
    current = Canonical(it->second.linkTarget);
  }
  return nullptr;  // a loop of links names nothing
}
}  // namespace

PDEVICE_OBJECT LookupAndReferenceDevice(std::u16string_view name) {
  std::lock_guard guard(g_namesLock);
  PDEVICE_OBJECT device = ResolveLocked(name);
  if (device != nullptr) ReferenceDevice(device);
  return device;
}

}  // namespace km::internal

namespace km {

PDEVICE_OBJECT LookupDevice(std::u16string_view name) {
  std::lock_guard guard(g_namesLock);
  return ResolveLocked(name);
}

bool NameExists(std::u16string_view name) {
  std::lock_guard guard(g_namesLock);
  return g_names.count(Canonical(name)) != 0;
}

}  // namespace km
