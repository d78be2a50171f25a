// Self-registration of the library in the component registration store, the
// way a client finds the class by its programmatic identifier, and the
// DllMain export that is not an entry point.
#include "automation_test_support.h"

#include <dlfcn.h>

#include <fstream>

namespace librarytest {
namespace {

class RegistrationTest : public LibraryTest {
 protected:
  ThrowAwayStore store;
};

TEST_F(RegistrationTest, RegistrationWritesTheClassItsServerTheProgIdAndTheInterface) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(LibraryPath(), RegistryText(std::u16string(kClassKey) + u"\\InprocServer32"));
  EXPECT_EQ(u"Apartment", RegistryText(std::u16string(kClassKey) + u"\\InprocServer32", u"ThreadingModel"));
  EXPECT_EQ(kProgId, RegistryText(std::u16string(kClassKey) + u"\\ProgID"));
  EXPECT_EQ(u"{6F6EB502-277E-4B59-86A9-87E586B30E43}", RegistryText(std::u16string(kClassKey) + u"\\TypeLib"));
  EXPECT_EQ(u"1.0", RegistryText(std::u16string(kClassKey) + u"\\VERSION"));
  EXPECT_EQ(u"{57CE8415-609B-4AB7-99FF-A35A7AFEAE3E}", RegistryText(std::u16string(kProgId) + u"\\CLSID"));
  EXPECT_EQ(u"_cls_Tavrin_USB", RegistryText(kInterfaceKey));
  EXPECT_EQ(u"{00020424-0000-0000-C000-000000000046}",
            RegistryText(std::u16string(kInterfaceKey) + u"\\ProxyStubClsid32"));
  EXPECT_EQ(u"1.0", RegistryText(std::u16string(kInterfaceKey) + u"\\TypeLib", u"Version"));
  // Registering again changes nothing.
  const std::optional<std::string> once = store.Contents();
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(once, store.Contents());
}

TEST_F(RegistrationTest, RegisterThenUnregisterLeavesTheStoreAsItWas) {
  // An empty store is no file, before and after.
  ASSERT_EQ(S_OK, DllRegisterServer());
  ASSERT_TRUE(store.Contents());
  ASSERT_EQ(S_OK, DllUnregisterServer());
  EXPECT_FALSE(store.Contents());

  // Other registrations, some beside ours, stay byte for byte.
  SetRegistryText(u"CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", nullptr, u"/elsewhere.so");
  SetRegistryText(u"Interface\\{22222222-2222-3333-4444-555555555555}", nullptr, u"IOther");
  SetRegistryText(u"Other.Class\\CLSID", nullptr, u"{11111111-2222-3333-4444-555555555555}");
  const std::optional<std::string> before = store.Contents();
  ASSERT_TRUE(before);
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_NE(before, store.Contents());
  ASSERT_EQ(S_OK, DllUnregisterServer());
  EXPECT_EQ(before, store.Contents());
  // Unregistering what is not registered changes nothing either.
  EXPECT_EQ(S_OK, DllUnregisterServer());
  EXPECT_EQ(before, store.Contents());
}

TEST_F(RegistrationTest, AProgIdTakenOverByAnotherClassSurvivesUnregistration) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  SetRegistryText(std::u16string(kProgId) + u"\\CLSID", nullptr, u"{11111111-2222-3333-4444-555555555555}");
  ASSERT_EQ(S_OK, DllUnregisterServer());
  EXPECT_EQ(u"{11111111-2222-3333-4444-555555555555}", RegistryText(std::u16string(kProgId) + u"\\CLSID"));
  EXPECT_FALSE(RegistryText(std::u16string(kClassKey) + u"\\InprocServer32"));
  EXPECT_FALSE(RegistryText(kInterfaceKey));
}

TEST_F(RegistrationTest, AStoreThatCannotBeWrittenFailsRegistrationAndIsLeftAlone) {
  const std::string broken = "[Half written\n";
  {
    std::ofstream file(store.File());
    file << broken;
  }
  EXPECT_EQ(SELFREG_E_CLASS, DllRegisterServer());
  EXPECT_EQ(broken, store.Contents());
  EXPECT_EQ(SELFREG_E_CLASS, DllUnregisterServer());
  // A store whose directory cannot be made.
  setenv("TAVRIN_COM_REGISTRY", (store.File() + "/below-a-file").c_str(), 1);
  EXPECT_EQ(SELFREG_E_CLASS, DllRegisterServer());
}

TEST_F(RegistrationTest, AClientCreatesTheObjectByItsProgId) {
  AttachInstrument();
  ASSERT_EQ(S_OK, DllRegisterServer());
  ASSERT_EQ(S_OK, CoInitialize(nullptr));
  {
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(kProgId, &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_cls_Tavrin_USB, clsid));
    Ref<IDispatch> object;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.out()));
    char16_t name[] = u"get_first_devicename";
    LPOLESTR names[] = {name};
    DISPID id = 0;
    ASSERT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    Invocation first = Invoke(object.get(), id, {});
    EXPECT_EQ(S_OK, first.hr);
    EXPECT_EQ(u"TAVRIN-0", first.text);
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  }
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  ASSERT_EQ(S_OK, DllUnregisterServer());
  CLSID gone{};
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(kProgId, &gone));
  Ref<IUnknown> none;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_cls_Tavrin_USB, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, none.out()));
  CoUninitialize();
}

TEST_F(RegistrationTest, DllMainAnswersMinusOneForReasonOneAndZeroOtherwise) {
  using DllMainExport = LONG (*)(LONG_PTR, LONG *, LONG_PTR);
  void *library = dlopen(nullptr, RTLD_NOW);
  ASSERT_NE(nullptr, library);
  auto entry = reinterpret_cast<DllMainExport>(dlsym(library, "DllMain"));
  ASSERT_NE(nullptr, entry);
  for (LONG reason : {0, 1, 2, 3, -1, 0x10001}) {
    LONG passed = reason;
    EXPECT_EQ(reason == 1 ? -1 : 0, entry(0x1234, &passed, 0)) << "reason " << reason;
    EXPECT_EQ(reason, passed);
  }
  // No other effect: the library registers nothing and holds nothing.
  EXPECT_FALSE(store.Contents());
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  dlclose(library);
}

}  // namespace
}  // namespace librarytest
