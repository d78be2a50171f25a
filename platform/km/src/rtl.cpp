// The run-time library helpers drivers use: counted strings, memory compare,
// and the debug print.
#include "internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t length = 0;
  while (SourceString[length] != 0) ++length;
  // Counted strings hold at most 32766 characters; longer text is cut, as on Windows.
  if (length > 0x7FFE) length = 0x7FFE;
  DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT length = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
  std::memmove(DestinationString->Buffer, SourceString->Buffer, length);
  DestinationString->Length = length;
  if (length + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[length / sizeof(WCHAR)] = 0;
  }
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  std::u16string_view a(String1->Buffer, String1->Length / sizeof(WCHAR));
  std::u16string_view b(String2->Buffer, String2->Length / sizeof(WCHAR));
  if (!CaseInSensitive) return a == b;
  return km::internal::FoldName(a) == km::internal::FoldName(b);
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  auto a = static_cast<const UCHAR *>(Source1);
  auto b = static_cast<const UCHAR *>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}

ULONG DbgPrint(PCSTR Format, ...) {
  // Debug output is shown only when asked for, as a debugger would.
  static const bool enabled = std::getenv("TAVRIN_KERNEL_DEBUG") != nullptr;
  if (!enabled) return 0;
  va_list args;
  va_start(args, Format);
  std::vfprintf(stderr, Format, args);
  va_end(args);
  return 0;
}
