// The system's 8-bit code page: Windows' ANSI code page, or Latin-1 (or the
// locale's single-byte character set) on Linux.
#include "code_page.h"

#ifndef _WIN32
#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#endif

#ifdef _WIN32

Eight_Bit_Code_Page::Eight_Bit_Code_Page() : codePage_(GetACP()) {
  for (int byte = 0; byte < 256; ++byte) {
    const char in = static_cast<char>(byte);
    WCHAR out[2] = {};
    // A byte that is no character on its own (a lead byte) keeps its number.
    if (MultiByteToWideChar(CP_ACP, 0, &in, 1, out, 2) == 1) {
      characters_[byte] = out[0];
    } else {
      characters_[byte] = static_cast<OLECHAR>(byte);
    }
  }
}

bool Eight_Bit_Code_Page::To_Byte(OLECHAR Character, BYTE *Byte) const {
  char out[4] = {};
  BOOL usedDefault = FALSE;
  // UTF-8 as the system code page takes neither the flag nor the question;
  // there only the characters of one byte (ASCII) qualify.
  const bool utf8 = codePage_ == CP_UTF8;
  const int written = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, &Character, 1, out, sizeof out,
                                          nullptr, utf8 ? nullptr : &usedDefault);
  if (written != 1 || usedDefault) return false;
  *Byte = static_cast<BYTE>(out[0]);
  return true;
}

#else

namespace {

// The character set the locale names, or "" for none: the part of the first
// set variable among LC_ALL, LC_CTYPE and LANG between '.' and '@'.
std::string Locale_Character_Set() {
  for (const char *variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char *value = std::getenv(variable);
    if (value == nullptr || *value == '\0') continue;
    const char *dot = std::strchr(value, '.');
    if (dot == nullptr) return "";
    std::string set(dot + 1);
    return set.substr(0, set.find('@'));
  }
  return "";
}

// Fills `characters` from the single-byte character set `set`; false when
// iconv does not know it or one of its bytes is not a character on its own
// (a multi-byte set such as UTF-8).
bool Single_Byte_Characters(const std::string &set, std::array<OLECHAR, 256> *characters) {
  iconv_t converter = iconv_open("UTF-16LE", set.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  bool singleByte = true;
  for (int byte = 0; byte < 256 && singleByte; ++byte) {
    char in = static_cast<char>(byte);
    unsigned char out[4] = {};
    char *inAt = &in;
    char *outAt = reinterpret_cast<char *>(out);
    size_t inLeft = 1;
    size_t outLeft = sizeof out;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    const size_t converted = iconv(converter, &inAt, &inLeft, &outAt, &outLeft);
    if (converted != static_cast<size_t>(-1) && outLeft == 2) {
      (*characters)[byte] = static_cast<OLECHAR>(out[0] | (out[1] << 8));
    } else if (converted == static_cast<size_t>(-1) && errno == EILSEQ) {
      (*characters)[byte] = static_cast<OLECHAR>(byte);  // undefined in the set
    } else {
      singleByte = false;  // the start of a longer sequence
    }
  }
  iconv_close(converter);
  return singleByte;
}

bool Is_Latin1_Or_Unicode(std::string set) {
  for (char &c : set) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return set.empty() || set == "UTF-8" || set == "UTF8" || set == "ISO-8859-1" || set == "ISO8859-1" ||
         set == "LATIN1";
}

}  // namespace

Eight_Bit_Code_Page::Eight_Bit_Code_Page() {
  for (int byte = 0; byte < 256; ++byte) characters_[byte] = static_cast<OLECHAR>(byte);
  const std::string set = Locale_Character_Set();
  if (Is_Latin1_Or_Unicode(set)) return;
  std::array<OLECHAR, 256> characters{};
  if (Single_Byte_Characters(set, &characters)) characters_ = characters;
}

bool Eight_Bit_Code_Page::To_Byte(OLECHAR Character, BYTE *Byte) const {
  for (int byte = 0; byte < 256; ++byte) {
    if (characters_[byte] == Character) {
      *Byte = static_cast<BYTE>(byte);
      return true;
    }
  }
  return false;
}

#endif
