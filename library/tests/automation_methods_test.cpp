// cls_Tavrin_USB through its class factory and its interface's method table:
// discovery texts, reads that keep every byte, writes of one byte per
// character, the 8-bit code page, and the object's COM identity.
#include "automation_test_support.h"

#include <cstdlib>

namespace librarytest {
namespace {

constexpr std::uint8_t kCommandPipe = 0x01;
constexpr std::uint8_t kInterrogativePipe = 0x81;
constexpr std::uint8_t kFormattedPipe = 0x82;

class AutomationTest : public LibraryTest {
 protected:
  std::u16string ReadFormatted(_cls_Tavrin_USB *object, std::u16string_view name, HRESULT expected = S_OK) {
    Text device(name);
    BSTR result = nullptr;
    EXPECT_EQ(expected, object->Device_Read_Formatted(device.ptr(), &result));
    EXPECT_EQ(std::u16string(name), device.str()) << "the name was changed";
    return Text::Adopt(result).str();
  }
  std::u16string ReadInterrogative(_cls_Tavrin_USB *object, std::u16string_view name) {
    Text device(name);
    BSTR result = nullptr;
    EXPECT_EQ(S_OK, object->Device_Read_Interrogative(device.ptr(), &result));
    EXPECT_EQ(std::u16string(name), device.str()) << "the name was changed";
    return Text::Adopt(result).str();
  }
  HRESULT Write(_cls_Tavrin_USB *object, std::u16string_view name, std::u16string_view value, LONG *result) {
    Text device(name);
    Text text(value);
    *result = 12345;
    const HRESULT hr = object->Device_Write(device.ptr(), text.ptr(), result);
    EXPECT_EQ(std::u16string(name), device.str());
    EXPECT_EQ(std::u16string(value), text.str());
    return hr;
  }
};

std::u16string Padded(std::u16string_view name) {
  std::u16string padded;
  for (char16_t c : name) {
    padded.push_back(c);
    padded.push_back(u'\0');
  }
  return padded;
}

TEST_F(AutomationTest, WithNoInstrumentTheListAndTheFirstNameAreEmpty) {
  Ref<_cls_Tavrin_USB> object = NewObject();
  ASSERT_TRUE(object);
  BSTR list = nullptr;
  ASSERT_EQ(S_OK, object->Get_ALL_Available_DeviceName(&list));
  EXPECT_EQ(u"", Text::Adopt(list).str());
  BSTR first = nullptr;
  ASSERT_EQ(S_OK, object->Get_First_DeviceName(&first));
  EXPECT_EQ(u"", Text::Adopt(first).str());
}

TEST_F(AutomationTest, DiscoveryTextsComeUnchanged) {
  AttachInstrument();
  AttachInstrument();
  Ref<_cls_Tavrin_USB> object = NewObject();
  BSTR list = nullptr;
  ASSERT_EQ(S_OK, object->Get_ALL_Available_DeviceName(&list));
  EXPECT_EQ(u"TAVRIN-0\r\nTAVRIN-1\r\n", Text::Adopt(list).str());
  BSTR first = nullptr;
  ASSERT_EQ(S_OK, object->Get_First_DeviceName(&first));
  EXPECT_EQ(u"TAVRIN-0", Text::Adopt(first).str());
}

TEST_F(AutomationTest, ANameWithNulsBetweenTheLettersReadsTheSameInstrument) {
  auto zero = InstrumentLayout();
  auto one = InstrumentLayout();
  AttachModel(zero);
  AttachModel(one);
  Ref<_cls_Tavrin_USB> object = NewObject();
  one->Queue(kFormattedPipe, "plain");
  EXPECT_EQ(u"plain", ReadFormatted(object.get(), u"TAVRIN-1"));
  one->Queue(kFormattedPipe, "padded");
  EXPECT_EQ(u"padded", ReadFormatted(object.get(), Padded(u"TAVRIN-1")));
  one->Queue(kInterrogativePipe, "asked");
  EXPECT_EQ(u"asked", ReadInterrogative(object.get(), Padded(u"TAVRIN-1")));
  // Nothing went to the other instrument's reads.
  zero->Queue(kFormattedPipe, "zero");
  EXPECT_EQ(u"zero", ReadFormatted(object.get(), Padded(u"TAVRIN-0")));
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(AutomationTest, AReadKeepsZeroBytesAsNulCharacters) {
  auto device = InstrumentLayout();
  AttachModel(device);
  Ref<_cls_Tavrin_USB> object = NewObject();
  device->Queue(kFormattedPipe, std::string("A\0B", 3));
  EXPECT_EQ(std::u16string(u"A\0B", 3), ReadFormatted(object.get(), u"TAVRIN-0"));
  device->Queue(kInterrogativePipe, std::string("\0\0x\0", 4));
  EXPECT_EQ(std::u16string(u"\0\0x\0", 4), ReadInterrogative(object.get(), u"TAVRIN-0"));
}

TEST_F(AutomationTest, AReadTakesAt32767BytesAndEachByteIsItsLatin1Character) {
  auto device = InstrumentLayout();
  AttachModel(device);
  // 65 full packets: more than one read may take.
  std::string sent;
  for (int i = 0; i < 65 * 512; ++i) sent.push_back(static_cast<char>((i * 7 + i / 512) & 0xFF));
  for (std::size_t at = 0; at < sent.size(); at += 512) device->Queue(kFormattedPipe, sent.substr(at, 512));
  Ref<_cls_Tavrin_USB> object = NewObject();
  const std::u16string text = ReadFormatted(object.get(), u"TAVRIN-0");
  ASSERT_EQ(32767u, text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    ASSERT_EQ(static_cast<char16_t>(static_cast<unsigned char>(sent[i])), text[i]) << "character " << i;
  }
}

TEST_F(AutomationTest, AFailedOrIdleReadIsEmpty) {
  Ref<_cls_Tavrin_USB> object = NewObject();
  EXPECT_EQ(u"", ReadFormatted(object.get(), u"TAVRIN-0"));  // nothing attached
  EXPECT_EQ(u"", ReadInterrogative(object.get(), u"TAVRIN-0"));
  AttachModel(InstrumentLayout());
  EXPECT_EQ(u"", ReadFormatted(object.get(), u"TAVRIN-0"));  // nothing to send
  EXPECT_EQ(u"", ReadInterrogative(object.get(), u"TAVRIN-0"));
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(AutomationTest, AnEmptyValueReturnsZeroWithoutCallingTheLibrary) {
  Ref<_cls_Tavrin_USB> object = NewObject();
  LONG result = 0;
  // No instrument: the library would have answered -2.
  EXPECT_EQ(S_OK, Write(object.get(), u"TAVRIN-0", u"", &result));
  EXPECT_EQ(0, result);
  auto device = InstrumentLayout();
  AttachModel(device);
  EXPECT_EQ(S_OK, Write(object.get(), u"TAVRIN-0", u"", &result));
  EXPECT_EQ(0, result);
  Text name(u"TAVRIN-0");
  BSTR nullValue = nullptr;  // the empty text too
  result = 7;
  EXPECT_EQ(S_OK, object->Device_Write(name.ptr(), &nullValue, &result));
  EXPECT_EQ(0, result);
  EXPECT_TRUE(device->Received().empty());
}

TEST_F(AutomationTest, AOneCharacterValueSendsOneByte) {
  auto device = InstrumentLayout();
  AttachModel(device);
  Ref<_cls_Tavrin_USB> object = NewObject();
  LONG result = 0;
  EXPECT_EQ(S_OK, Write(object.get(), u"TAVRIN-0", u"\u00E9", &result));
  EXPECT_EQ(1, result);
  using Transfer = std::pair<std::uint8_t, std::string>;
  EXPECT_EQ(std::vector<Transfer>{Transfer(kCommandPipe, "\xE9")}, device->Received());
}

TEST_F(AutomationTest, EveryLatin1CharacterBecomesItsByte) {
  auto device = InstrumentLayout();
  AttachModel(device);
  Ref<_cls_Tavrin_USB> object = NewObject();
  std::u16string value;
  std::string bytes;
  for (int c = 0; c < 256; ++c) {
    value.push_back(static_cast<char16_t>(c));
    bytes.push_back(static_cast<char>(c));
  }
  LONG result = 0;
  EXPECT_EQ(S_OK, Write(object.get(), Padded(u"TAVRIN-0"), value, &result));
  EXPECT_EQ(1, result);
  std::string received;
  for (const auto &[endpoint, data] : device->Received()) {
    EXPECT_EQ(kCommandPipe, endpoint);
    received += data;
  }
  EXPECT_EQ(bytes, received);
}

// Sets LC_ALL for the length of a test.
class LocaleSetting {
 public:
  explicit LocaleSetting(const char *value) {
    if (const char *old = std::getenv("LC_ALL")) saved_ = old;
    setenv("LC_ALL", value, 1);
  }
  ~LocaleSetting() {
    if (saved_) {
      setenv("LC_ALL", saved_->c_str(), 1);
    } else {
      unsetenv("LC_ALL");
    }
  }
  LocaleSetting(const LocaleSetting &) = delete;
  LocaleSetting &operator=(const LocaleSetting &) = delete;

 private:
  std::optional<std::string> saved_;
};

// Texts and bytes meet in the 8-bit code page: Latin-1 unless the locale
// names a single-byte set. Under code page 1252 the euro sign is byte 0x80
// both ways; a character the code page lacks is run-time error 6 and nothing
// is sent, in either code page.
TEST_F(AutomationTest, TheEightBitCodePageIsLatin1UnlessTheLocaleNamesASingleByteSet) {
  auto device = InstrumentLayout();
  AttachModel(device);
  Ref<_cls_Tavrin_USB> object = NewObject();
  LONG result = 0;
  {
    LocaleSetting unicode("C.UTF-8");
    for (std::u16string value : {std::u16string(u"AB\u0100"), std::u16string(u"\uFFFF"), std::u16string(u"\u20AC")}) {
      EXPECT_EQ(CTL_E_OVERFLOW, Write(object.get(), u"TAVRIN-0", value, &result));
      EXPECT_EQ(0, result);
    }
    EXPECT_TRUE(device->Received().empty());
    device->Queue(kInterrogativePipe, "\x80\xE9");
    EXPECT_EQ(u"\u0080\u00E9", ReadInterrogative(object.get(), u"TAVRIN-0"));
  }
  {
    LocaleSetting windows("de_DE.CP1252@euro");
    EXPECT_EQ(CTL_E_OVERFLOW, Write(object.get(), u"TAVRIN-0", u"\u20AC\u0100", &result));
    EXPECT_TRUE(device->Received().empty());
    EXPECT_EQ(S_OK, Write(object.get(), u"TAVRIN-0", u"\u20AC\u00E9\u0081", &result));
    EXPECT_EQ(1, result);
    using Transfer = std::pair<std::uint8_t, std::string>;
    EXPECT_EQ(std::vector<Transfer>{Transfer(kCommandPipe, "\x80\xE9\x81")}, device->Received());
    device->Queue(kInterrogativePipe, "\x80\xE9\x81");
    EXPECT_EQ(u"\u20AC\u00E9\u0081", ReadInterrogative(object.get(), u"TAVRIN-0"));
  }
  EXPECT_EQ(TAVRIN_E_OVERFLOW, CTL_E_OVERFLOW);
}

TEST_F(AutomationTest, AValueOfUpTo32767CharactersIsSentAndALongerOneIsARunTimeError) {
  auto device = InstrumentLayout();
  AttachModel(device);
  Ref<_cls_Tavrin_USB> object = NewObject();
  LONG result = 0;
  EXPECT_EQ(CTL_E_OVERFLOW, Write(object.get(), u"TAVRIN-0", std::u16string(32768, u'x'), &result));
  EXPECT_EQ(0, result);
  EXPECT_TRUE(device->Received().empty());
  EXPECT_EQ(S_OK, Write(object.get(), u"TAVRIN-0", std::u16string(32767, u'y'), &result));
  EXPECT_EQ(1, result);
  std::string received;
  for (const auto &transfer : device->Received()) received += transfer.second;
  EXPECT_EQ(std::string(32767, 'y'), received);
}

TEST_F(AutomationTest, WriteGivesTheLibrarysResult) {
  Ref<_cls_Tavrin_USB> object = NewObject();
  LONG result = 0;
  EXPECT_EQ(S_OK, Write(object.get(), u"TAVRIN-0", u"ECHO x\n", &result));
  EXPECT_EQ(-2, result);
  auto instrument = AttachInstrument();
  EXPECT_EQ(S_OK, Write(object.get(), Padded(u"TAVRIN-0"), u"ECHO x\n", &result));
  EXPECT_EQ(1, result);
  EXPECT_EQ(std::vector<std::string>{"ECHO x"}, instrument->Commands());
  EXPECT_EQ(u"x\n", [&] {
    Text device(u"TAVRIN-0");
    BSTR answer = nullptr;
    EXPECT_EQ(S_OK, object->Device_Read_Interrogative(device.ptr(), &answer));
    return Text::Adopt(answer).str();
  }());
}

// The interface's methods sit in slots 7 to 11 of its method table, after
// IDispatch's seven, in this order.
TEST_F(AutomationTest, TheMethodsOccupyTheirSlotsInOrder) {
  auto device = InstrumentLayout();
  AttachModel(device);
  device->Queue(kFormattedPipe, "formatted");
  device->Queue(kInterrogativePipe, "interrogative");
  Ref<_cls_Tavrin_USB> object = NewObject();
  void *self = object.get();
  void *const *table = *static_cast<void *const *const *>(self);
  using NoArgument = HRESULT(STDMETHODCALLTYPE *)(void *, BSTR *);
  using OneArgument = HRESULT(STDMETHODCALLTYPE *)(void *, BSTR *, BSTR *);
  using TwoArguments = HRESULT(STDMETHODCALLTYPE *)(void *, BSTR *, BSTR *, LONG *);

  BSTR text = nullptr;
  ASSERT_EQ(S_OK, reinterpret_cast<NoArgument>(table[7])(self, &text));
  EXPECT_EQ(u"TAVRIN-0\r\n", Text::Adopt(text).str());
  Text name(u"TAVRIN-0");
  ASSERT_EQ(S_OK, reinterpret_cast<OneArgument>(table[8])(self, name.ptr(), &text));
  EXPECT_EQ(u"formatted", Text::Adopt(text).str());
  ASSERT_EQ(S_OK, reinterpret_cast<OneArgument>(table[9])(self, name.ptr(), &text));
  EXPECT_EQ(u"interrogative", Text::Adopt(text).str());
  Text value(u"v");
  LONG result = 0;
  ASSERT_EQ(S_OK, reinterpret_cast<TwoArguments>(table[10])(self, name.ptr(), value.ptr(), &result));
  EXPECT_EQ(1, result);
  ASSERT_EQ(S_OK, reinterpret_cast<NoArgument>(table[11])(self, &text));
  EXPECT_EQ(u"TAVRIN-0", Text::Adopt(text).str());
}

TEST_F(AutomationTest, MissingResultOrArgumentPointersAreRefused) {
  Ref<_cls_Tavrin_USB> object = NewObject();
  Text name(u"TAVRIN-0");
  Text value(u"x");
  BSTR text = nullptr;
  LONG number = 5;
  EXPECT_EQ(E_POINTER, object->Get_ALL_Available_DeviceName(nullptr));
  EXPECT_EQ(E_POINTER, object->Get_First_DeviceName(nullptr));
  EXPECT_EQ(E_POINTER, object->Device_Read_Formatted(name.ptr(), nullptr));
  EXPECT_EQ(E_POINTER, object->Device_Read_Interrogative(nullptr, &text));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(E_POINTER, object->Device_Write(name.ptr(), nullptr, &number));
  EXPECT_EQ(0, number);
  EXPECT_EQ(E_POINTER, object->Device_Write(nullptr, value.ptr(), nullptr));
}

TEST_F(AutomationTest, OneObjectAnswersForItsThreeInterfaces) {
  Ref<_cls_Tavrin_USB> object = NewObject();
  Ref<IUnknown> unknown;
  Ref<IDispatch> dispatch;
  Ref<_cls_Tavrin_USB> again;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, unknown.out()));
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.out()));
  ASSERT_EQ(S_OK, dispatch->QueryInterface(IID__cls_Tavrin_USB, again.out()));
  EXPECT_EQ(static_cast<void *>(object.get()), static_cast<void *>(unknown.get()));
  EXPECT_EQ(static_cast<void *>(object.get()), static_cast<void *>(dispatch.get()));
  EXPECT_EQ(object.get(), again.get());
  Ref<IClassFactory> notOffered;
  EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IClassFactory, notOffered.out()));
  EXPECT_FALSE(notOffered);
  // The first reference and the three taken above.
  EXPECT_EQ(5u, object->AddRef());
  EXPECT_EQ(4u, object->Release());
}

TEST_F(AutomationTest, TheFactoryServesOnlyItsClassWithoutAggregation) {
  Ref<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  Ref<IUnknown> object;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory.get(), IID_IUnknown, object.out()));
  EXPECT_FALSE(object);
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, object.out()));
  EXPECT_FALSE(object);
  Ref<IClassFactory> other;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(IID__cls_Tavrin_USB, IID_IClassFactory, other.out()));
  EXPECT_FALSE(other);
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(CLSID_cls_Tavrin_USB, IID_IDispatch, other.out()));
}

TEST_F(AutomationTest, TheLibraryMayUnloadOnlyWithNoObjectFactoryOrLock) {
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  {
    Ref<IClassFactory> factory = Factory();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    Ref<IUnknown> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.out()));
    factory.reset();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    object.reset();
    EXPECT_EQ(S_OK, DllCanUnloadNow());
  }
  Ref<IClassFactory> factory = Factory();
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  factory.reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  Factory()->LockServer(FALSE);
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  // An unlock without a lock does not cancel the next lock.
  EXPECT_EQ(S_OK, Factory()->LockServer(FALSE));
  EXPECT_EQ(S_OK, Factory()->LockServer(TRUE));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  Factory()->LockServer(FALSE);
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
}  // namespace librarytest
