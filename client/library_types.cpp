// Owning types for the library's texts and byte arrays.
#include "library_types.h"

#include <cstring>
#include <new>
#include <utility>

namespace Client {

Library_Text Library_Text::Of_Characters(std::string_view latin1) {
  std::u16string wide(latin1.size(), u'\0');
  for (std::size_t i = 0; i < latin1.size(); ++i) wide[i] = static_cast<unsigned char>(latin1[i]);
  BSTR value = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (value == nullptr) throw std::bad_alloc();
  return Library_Text(value);
}

Library_Text Library_Text::Of_Bytes(std::string_view bytes) {
  BSTR value = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
  if (value == nullptr) throw std::bad_alloc();
  return Library_Text(value);
}

Library_Text Library_Text::Adopt(BSTR text) { return Library_Text(text); }

Library_Text::~Library_Text() { SysFreeString(value_); }

Library_Text::Library_Text(Library_Text &&other) noexcept : value_(std::exchange(other.value_, nullptr)) {}

Library_Text &Library_Text::operator=(Library_Text &&other) noexcept {
  if (this != &other) {
    SysFreeString(value_);
    value_ = std::exchange(other.value_, nullptr);
  }
  return *this;
}

std::string Library_Text::Characters() const {
  std::string text;
  if (value_ == nullptr) return text;
  const UINT length = SysStringLen(value_);
  text.reserve(length);
  for (UINT i = 0; i < length; ++i) text.push_back(static_cast<char>(value_[i] & 0xFF));
  return text;
}

std::string Library_Text::Bytes() const {
  if (value_ == nullptr) return {};
  return std::string(reinterpret_cast<const char *>(value_), SysStringByteLen(value_));
}

Byte_Array::Byte_Array(std::size_t count) {
  if (count == 0) throw Bounds_Error("a byte array needs at least one element");
  array_ = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
  if (array_ == nullptr) throw std::bad_alloc();
}

Byte_Array::Byte_Array(std::string_view bytes) : Byte_Array(bytes.size()) {
  void *data = nullptr;
  if (FAILED(SafeArrayAccessData(array_, &data))) throw Bounds_Error("byte array not accessible");
  std::memcpy(data, bytes.data(), bytes.size());
  SafeArrayUnaccessData(array_);
}

Byte_Array::~Byte_Array() {
  if (array_ != nullptr) SafeArrayDestroy(array_);
}

std::string Byte_Array::Bytes(std::size_t count) const {
  if (count == 0) return {};
  if (array_ == nullptr || SafeArrayGetDim(array_) != 1 || SafeArrayGetElemsize(array_) != 1) {
    throw Bounds_Error("not a byte array");
  }
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(array_, 1, &lower)) || FAILED(SafeArrayGetUBound(array_, 1, &upper))) {
    throw Bounds_Error("byte array without bounds");
  }
  // Index 0 to count-1 must all lie within the bounds.
  if (lower > 0 || static_cast<long long>(upper) < static_cast<long long>(count) - 1) {
    throw Bounds_Error("index outside the byte array");
  }
  void *data = nullptr;
  if (FAILED(SafeArrayAccessData(array_, &data))) throw Bounds_Error("byte array not accessible");
  std::string bytes(static_cast<const char *>(data) - lower, count);
  SafeArrayUnaccessData(array_);
  return bytes;
}

}  // namespace Client
