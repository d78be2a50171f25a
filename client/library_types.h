// Owning types for what crosses the device-access library's calls: its texts
// (OLE Automation strings, BSTR) and its byte arrays (one-dimensional
// SAFEARRAYs of bytes from index 0). Each frees what it holds when it goes,
// so no path through a call leaks, whatever it raises.
#pragma once

#include <oleauto.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Client {

// An index outside a byte array's bounds (the library may hand back another
// array than the one it was given), or an array that cannot be made.
class Bounds_Error : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// A library text, owned. Texts here are 8-bit: one byte per character.
class Library_Text {
 public:
  Library_Text() = default;  // no string at all
  // Each byte becomes one UTF-16 character (a device name as the library
  // takes it).
  static Library_Text Of_Characters(std::string_view latin1);
  // The bytes are the string's memory, as a bridge that passes 8-bit copies
  // of its texts makes it (two bytes per UTF-16 character).
  static Library_Text Of_Bytes(std::string_view bytes);
  // Takes over a text the library returned.
  static Library_Text Adopt(BSTR text);

  ~Library_Text();
  Library_Text(Library_Text &&other) noexcept;
  Library_Text &operator=(Library_Text &&other) noexcept;
  Library_Text(const Library_Text &) = delete;
  Library_Text &operator=(const Library_Text &) = delete;

  // For a call that takes the text by reference and may replace it.
  BSTR *Pointer() { return &value_; }
  BSTR Get() const { return value_; }
  // Each UTF-16 character's low byte.
  std::string Characters() const;
  // The string's memory, byte for byte.
  std::string Bytes() const;

 private:
  explicit Library_Text(BSTR value) : value_(value) {}
  BSTR value_ = nullptr;
};

// A zero-filled byte array with indexes 0 to count-1, owned, passed to the
// library by reference.
class Byte_Array {
 public:
  // Bounds_Error for a count of 0: there is no empty array to pass.
  explicit Byte_Array(std::size_t count);
  // An array holding exactly these bytes.
  explicit Byte_Array(std::string_view bytes);
  ~Byte_Array();
  Byte_Array(const Byte_Array &) = delete;
  Byte_Array &operator=(const Byte_Array &) = delete;

  SAFEARRAY **Pointer() { return &array_; }
  // The bytes at indexes 0 to count-1 as the array stands now; Bounds_Error
  // when the array (perhaps one the library put in its place) has fewer.
  std::string Bytes(std::size_t count) const;

 private:
  SAFEARRAY *array_ = nullptr;
};

}  // namespace Client
