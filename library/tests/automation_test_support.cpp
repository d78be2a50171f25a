#include "automation_test_support.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace librarytest {

Ref<IClassFactory> Factory() {
  Ref<IClassFactory> factory;
  EXPECT_EQ(S_OK, DllGetClassObject(CLSID_cls_Tavrin_USB, IID_IClassFactory, factory.out()));
  return factory;
}

Ref<_cls_Tavrin_USB> NewObject() {
  Ref<_cls_Tavrin_USB> object;
  Ref<IClassFactory> factory = Factory();
  if (factory) {
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID__cls_Tavrin_USB, object.out()));
  }
  return object;
}

Invocation Invoke(IDispatch *object, DISPID id, std::vector<VARIANT> arguments, WORD flags) {
  std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
  DISPPARAMS parameters{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  Variant result;
  Invocation outcome;
  outcome.hr = object->Invoke(id, IID_NULL, 0, flags, &parameters, &result.value, &outcome.exception,
                              &outcome.argumentError);
  outcome.resultType = V_VT(&result.value);
  if (outcome.resultType == VT_BSTR) {
    outcome.text = std::u16string(V_BSTR(&result.value), SysStringLen(V_BSTR(&result.value)));
  } else if (outcome.resultType == VT_I4) {
    outcome.number = V_I4(&result.value);
  }
  SysFreeString(outcome.exception.bstrSource);
  SysFreeString(outcome.exception.bstrDescription);
  SysFreeString(outcome.exception.bstrHelpFile);
  outcome.exception.bstrSource = outcome.exception.bstrDescription = outcome.exception.bstrHelpFile = nullptr;
  return outcome;
}

VARIANT TextArgument(const Text &text) {
  VARIANT argument;
  VariantInit(&argument);
  V_VT(&argument) = VT_BSTR;
  V_BSTR(&argument) = text.get();
  return argument;
}

VARIANT TextReference(Text &text) {
  VARIANT argument;
  VariantInit(&argument);
  V_VT(&argument) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&argument) = text.ptr();
  return argument;
}

std::shared_ptr<PipeLayoutDevice> InstrumentLayout() {
  return std::make_shared<PipeLayoutDevice>(std::vector<std::uint8_t>{0x01, 0x81, 0x82});
}

ThrowAwayStore::ThrowAwayStore() {
  char pattern[] = "/tmp/automation-store-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    ADD_FAILURE() << "no temporary directory";
    return;
  }
  directory_ = pattern;
  if (const char *value = std::getenv("TAVRIN_COM_REGISTRY")) saved_ = value;
  setenv("TAVRIN_COM_REGISTRY", File().c_str(), 1);
}

ThrowAwayStore::~ThrowAwayStore() {
  if (saved_) {
    setenv("TAVRIN_COM_REGISTRY", saved_->c_str(), 1);
  } else {
    unsetenv("TAVRIN_COM_REGISTRY");
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::optional<std::string> ThrowAwayStore::Contents() const {
  std::ifstream file(File(), std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<std::u16string> RegistryText(const std::u16string &path, const char16_t *name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  char16_t text[1024] = {};
  DWORD bytes = sizeof text;
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return std::u16string(text);
}

void SetRegistryText(const std::u16string &path, const char16_t *name, const std::u16string &value) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_WRITE, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                          static_cast<DWORD>((value.size() + 1) * sizeof(char16_t))));
  RegCloseKey(key);
}

std::u16string LibraryPath() {
  Dl_info info{};
  EXPECT_NE(0, dladdr(reinterpret_cast<const void *>(&USB_Write), &info));
  char resolved[PATH_MAX];
  EXPECT_NE(nullptr, realpath(info.dli_fname, resolved));
  return Wide(resolved);
}

}  // namespace librarytest
