// The component runtime: identifier strings, apartments, and creating objects
// of classes registered in the per-user store, with each way a registration
// can fail to lead to a class factory.
#include "com_test_support.h"

#include <dlfcn.h>

#include <cstring>
#include <thread>

namespace comtest {
namespace {

constexpr CLSID kTestClass = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr const char16_t *kTestClassKey = u"CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32";
constexpr GUID kSample = {0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};

std::u16string Wide(const char *text) { return std::u16string(text, text + std::strlen(text)); }

// Initialises the calling thread's apartment for one test.
class ApartmentTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
  }
  void TearDown() override {
    CoUninitialize();
    StoreTest::TearDown();
  }
};

TEST(GuidStrings, StringFromGuid2WritesTheBracedUpperCaseForm) {
  OLECHAR text[CHARS_IN_GUID];
  EXPECT_EQ(39, StringFromGUID2(kSample, text, CHARS_IN_GUID));
  EXPECT_EQ(u"{0123ABCD-4567-89EF-FEDC-BA9876543210}", std::u16string(text));
  EXPECT_EQ(0, StringFromGUID2(kSample, text, CHARS_IN_GUID - 1));
}

TEST(GuidStrings, ClsidFromStringReadsTheBracedFormInEitherCase) {
  CLSID parsed{};
  EXPECT_EQ(S_OK, CLSIDFromString(u"{0123abcd-4567-89ef-fedc-ba9876543210}", &parsed));
  EXPECT_TRUE(IsEqualGUID(kSample, parsed));
  OLECHAR text[CHARS_IN_GUID];
  StringFromGUID2(IID_IDispatch, text, CHARS_IN_GUID);
  EXPECT_EQ(S_OK, CLSIDFromString(text, &parsed));
  EXPECT_TRUE(IsEqualGUID(IID_IDispatch, parsed));
}

TEST(GuidStrings, ClsidFromStringRefusesAnythingElse) {
  for (const char16_t *bad : {u"{0123ABCD-4567-89EF-FEDC-BA9876543210", u"{0123ABCD-4567-89EF-FEDC-BA9876543210}x",
                              u"{0123ABCD-4567-89EF-FEDCBA9876543210}", u"{0123ABCD-4567-89EF-FEDC-BA987654321}",
                              u"{0123ABCD-4567-89EG-FEDC-BA9876543210}", u"{}", u"{"}) {
    CLSID parsed = kSample;
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(bad, &parsed));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, parsed));
  }
}

TEST(Apartments, InitialisationCountsAndKeepsItsModel) {
  std::thread([] {
    IUnknown *object = nullptr;
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void **>(&object)));
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
    CoUninitialize();
    // Uninitialised again: another model may be chosen.
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
  }).join();
}

class ComponentRuntimeTest : public ApartmentTest {
 protected:
  HRESULT Create(IUnknown **object, DWORD context = CLSCTX_INPROC_SERVER) {
    return CoCreateInstance(kTestClass, nullptr, context, IID_IUnknown, reinterpret_cast<void **>(object));
  }
};

TEST_F(ComponentRuntimeTest, AnUnregisteredClassIsNotRegistered) {
  IUnknown *object = reinterpret_cast<IUnknown *>(&object);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, Create(&object));
  EXPECT_EQ(nullptr, object);
  SetValue(kTestClassKey, u"ThreadingModel", u"Apartment");  // a key without its server
  EXPECT_EQ(REGDB_E_CLASSNOTREG, Create(&object));
}

TEST_F(ComponentRuntimeTest, ARegisteredServerGivesObjects) {
  SetValue(kTestClassKey, u"", Wide(TEST_SERVER_PATH));
  IUnknown *object = nullptr;
  ASSERT_EQ(S_OK, Create(&object));
  ASSERT_NE(nullptr, object);
  // The object comes from the registered server, loaded once.
  void *server = dlopen(TEST_SERVER_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(nullptr, server);
  auto live = reinterpret_cast<int (*)()>(dlsym(server, "Test_Server_Live_Objects"));
  ASSERT_NE(nullptr, live);
  EXPECT_EQ(1, live());
  IUnknown *second = nullptr;
  ASSERT_EQ(S_OK, Create(&second, CLSCTX_ALL));
  EXPECT_EQ(2, live());
  EXPECT_EQ(0u, object->Release());
  EXPECT_EQ(0u, second->Release());
  EXPECT_EQ(0, live());
  dlclose(server);
}

TEST_F(ComponentRuntimeTest, TheServersAnswerReachesTheCaller) {
  SetValue(kTestClassKey, u"", Wide(TEST_SERVER_PATH));
  void *object = nullptr;
  EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object));
  EXPECT_EQ(nullptr, object);
  // The server serves only its own class, whatever the store says.
  constexpr CLSID other = {0x99999999, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  SetValue(u"CLSID\\{99999999-2222-3333-4444-555555555555}\\InprocServer32", u"", Wide(TEST_SERVER_PATH));
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, CoCreateInstance(other, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object));
  IClassFactory *factory = nullptr;
  EXPECT_EQ(S_OK, CoGetClassObject(kTestClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   reinterpret_cast<void **>(&factory)));
  ASSERT_NE(nullptr, factory);
  IUnknown *aggregated = nullptr;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void **>(&aggregated)));
  factory->Release();
}

TEST_F(ComponentRuntimeTest, OnlyInProcessServersAreOffered) {
  SetValue(kTestClassKey, u"", Wide(TEST_SERVER_PATH));
  IUnknown *object = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, Create(&object, CLSCTX_LOCAL_SERVER));
}

TEST_F(ComponentRuntimeTest, AMissingServerFileAndAServerWithoutEntryAreReported) {
  SetValue(kTestClassKey, u"", Wide((Directory() / "nowhere.so").c_str()));
  IUnknown *object = nullptr;
  EXPECT_EQ(CO_E_DLLNOTFOUND, Create(&object));
  SetValue(kTestClassKey, u"", Wide(NO_ENTRY_SERVER_PATH));
  EXPECT_EQ(CO_E_ERRORINDLL, Create(&object));
  EXPECT_EQ(nullptr, object);
}

TEST_F(ComponentRuntimeTest, AProgrammaticIdentifierNamesItsClass) {
  SetValue(u"Test.Object\\CLSID", u"", u"{11111111-2222-3333-4444-555555555555}");
  CLSID clsid{};
  EXPECT_EQ(S_OK, CLSIDFromProgID(u"test.object", &clsid));
  EXPECT_TRUE(IsEqualGUID(kTestClass, clsid));
  EXPECT_EQ(S_OK, CLSIDFromString(u"Test.Object", &clsid));
  EXPECT_TRUE(IsEqualGUID(kTestClass, clsid));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Test.Missing", &clsid));
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, clsid));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"", &clsid));
  SetValue(u"Test.Broken\\CLSID", u"", u"not an identifier");
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Test.Broken", &clsid));
}

}  // namespace
}  // namespace comtest
