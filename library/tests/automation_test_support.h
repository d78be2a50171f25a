// What the automation class's tests share: interface references that release
// themselves, objects made through the library's class factory, calls
// through IDispatch::Invoke, a device whose reply pipes the test fills, and a
// throw-away component registration store.
#pragma once

#include "library_test_support.h"

#include <cls_Tavrin_USB.h>
#include <olectl.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace librarytest {

// One reference to an interface, released when it goes.
template <typename Interface>
class Ref {
 public:
  Ref() = default;
  ~Ref() { reset(); }
  Ref(Ref &&other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;

  Interface *get() const { return pointer_; }
  Interface *operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  void **out() {
    reset();
    return reinterpret_cast<void **>(&pointer_);
  }
  void reset() {
    if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
  }

 private:
  Interface *pointer_ = nullptr;
};

// The class factory the library's DllGetClassObject gives.
Ref<IClassFactory> Factory();
// A new object through the class factory.
Ref<_cls_Tavrin_USB> NewObject();

// A VARIANT the test owns.
struct Variant {
  VARIANT value;
  Variant() { VariantInit(&value); }
  ~Variant() { EXPECT_EQ(S_OK, VariantClear(&value)); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
};

// The outcome of one IDispatch::Invoke.
struct Invocation {
  HRESULT hr = E_UNEXPECTED;
  VARTYPE resultType = VT_EMPTY;
  std::u16string text;  // a VT_BSTR result
  LONG number = 0;      // a VT_I4 result
  EXCEPINFO exception{};
  UINT argumentError = 0xFFFF;
};

// Calls `id` as a method with `arguments` in parameter order (rgvarg gets
// them reversed) and frees what the call returned.
Invocation Invoke(IDispatch *object, DISPID id, std::vector<VARIANT> arguments, WORD flags = DISPATCH_METHOD);
// A VT_BSTR argument that refers to `text`; the caller keeps `text` alive.
VARIANT TextArgument(const Text &text);
// A VT_BSTR | VT_BYREF argument that refers to `text`.
VARIANT TextReference(Text &text);

// Interface 0 with pipes 0x01 (command), 0x81 (interrogative) and 0x82
// (formatted), as the instrument has them.
std::shared_ptr<PipeLayoutDevice> InstrumentLayout();

// A directory with a component registration store of its own for each test;
// TAVRIN_COM_REGISTRY points there until the test ends.
class ThrowAwayStore {
 public:
  ThrowAwayStore();
  ~ThrowAwayStore();
  ThrowAwayStore(const ThrowAwayStore &) = delete;
  ThrowAwayStore &operator=(const ThrowAwayStore &) = delete;

  std::filesystem::path Directory() const { return directory_; }
  std::string File() const { return (directory_ / "com-registry").string(); }
  // The file's bytes, or nullopt when there is no file.
  std::optional<std::string> Contents() const;

 private:
  std::filesystem::path directory_;
  std::optional<std::string> saved_;
};

// HKEY_CLASSES_ROOT\<path>'s value `name` (default when null), or nullopt.
std::optional<std::u16string> RegistryText(const std::u16string &path, const char16_t *name = nullptr);
// Creates the key and sets the value; fails the test on an error.
void SetRegistryText(const std::u16string &path, const char16_t *name, const std::u16string &value);

// The library file, as the system loaded it.
std::u16string LibraryPath();

inline constexpr char16_t kProgId[] = u"Tavrin_570x_Driver.cls_Tavrin_USB";
inline constexpr char16_t kClassKey[] = u"CLSID\\{57CE8415-609B-4AB7-99FF-A35A7AFEAE3E}";
inline constexpr char16_t kInterfaceKey[] = u"Interface\\{B22F88D2-F272-4772-8CE1-EC4C0214A137}";

}  // namespace librarytest
