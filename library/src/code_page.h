// The system's 8-bit code page, in which the library's texts become bytes
// and bytes become texts: one byte per character, both ways.
//
// On Windows it is the system ANSI code page (CP_ACP), converted without
// best-fit mapping: a character the code page lacks has no byte, rather
// than the byte of a look-alike. On Linux it is Latin-1, unless the locale
// (LC_ALL, else LC_CTYPE, else LANG) names a single-byte character set, such
// as "de_DE.CP1252" or "ru_RU.KOI8-R": then that set.
#pragma once

#include <windows.h>

#include <array>

class Eight_Bit_Code_Page {
 public:
  // The code page in force now.
  Eight_Bit_Code_Page();

  // The byte of `Character`; false when the code page has none for it.
  bool To_Byte(OLECHAR Character, BYTE *Byte) const;
  // The character of `Byte`. A byte the code page leaves undefined is the
  // character of the same number, so that no byte read is lost.
  OLECHAR To_Character(BYTE Byte) const { return characters_[Byte]; }

 private:
  std::array<OLECHAR, 256> characters_{};
#ifdef _WIN32
  UINT codePage_ = 0;
#endif
};
