// cls_Tavrin_USB through IDispatch: names to dispatch identifiers without
// regard to case, Invoke with texts by value, by reference and behind
// VARIANT references, named arguments, results as VT_BSTR and VT_I4, and
// the run-time error as an exception.
#include "automation_test_support.h"

namespace librarytest {
namespace {

class DispatchTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    Ref<_cls_Tavrin_USB> object = NewObject();
    ASSERT_TRUE(object);
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.out()));
  }
  void TearDown() override {
    dispatch.reset();
    LibraryTest::TearDown();
  }

  // The identifiers of `names`, and GetIDsOfNames's HRESULT.
  std::vector<DISPID> Ids(std::vector<std::u16string> names, HRESULT *hr, REFIID riid = IID_NULL) {
    std::vector<LPOLESTR> pointers;
    for (std::u16string &name : names) pointers.push_back(name.data());
    std::vector<DISPID> ids(names.size(), 12345);
    *hr = dispatch->GetIDsOfNames(riid, pointers.data(), static_cast<UINT>(pointers.size()), 0, ids.data());
    return ids;
  }

  Ref<IDispatch> dispatch;
};

TEST_F(DispatchTest, EachMethodNameGivesItsDispatchIdentifierWhateverItsCase) {
  const std::pair<std::u16string, DISPID> expected[] = {
      {u"Get_ALL_Available_DeviceName", 0x60030000}, {u"Device_Read_Formatted", 0x60030001},
      {u"Device_Read_Interrogative", 0x60030002},    {u"Device_Write", 0x60030003},
      {u"Get_First_DeviceName", 0x60030004},         {u"get_all_available_devicename", 0x60030000},
      {u"DEVICE_WRITE", 0x60030003},                 {u"device_READ_formatted", 0x60030001}};
  for (const auto &[name, id] : expected) {
    HRESULT hr = E_FAIL;
    EXPECT_EQ(std::vector<DISPID>{id}, Ids({name}, &hr));
    EXPECT_EQ(S_OK, hr);
  }
}

TEST_F(DispatchTest, ParameterNamesFollowTheirMethod) {
  HRESULT hr = E_FAIL;
  EXPECT_EQ((std::vector<DISPID>{0x60030003, 1, 0}), Ids({u"Device_Write", u"value", u"DEVICENAME"}, &hr));
  EXPECT_EQ(S_OK, hr);
  EXPECT_EQ((std::vector<DISPID>{0x60030002, DISPID_UNKNOWN}), Ids({u"Device_Read_Interrogative", u"Value"}, &hr));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, hr);
}

TEST_F(DispatchTest, UnknownNamesAndForeignInterfacesAreRefused) {
  HRESULT hr = E_FAIL;
  EXPECT_EQ((std::vector<DISPID>{DISPID_UNKNOWN, DISPID_UNKNOWN}), Ids({u"Device_Writ", u"Value"}, &hr));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, hr);
  Ids({u"Device_Write_"}, &hr);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, hr);
  Ids({u"Device_Write"}, &hr, IID_IDispatch);
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, hr);
  UINT count = 99;
  EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
  EXPECT_EQ(0u, count);
}

TEST_F(DispatchTest, DiscoveryMethodsGiveTexts) {
  Invocation none = Invoke(dispatch.get(), DISPID_Get_ALL_Available_DeviceName, {});
  EXPECT_EQ(S_OK, none.hr);
  EXPECT_EQ(VT_BSTR, none.resultType);
  EXPECT_EQ(u"", none.text);
  AttachInstrument();
  Invocation list = Invoke(dispatch.get(), DISPID_Get_ALL_Available_DeviceName, {});
  EXPECT_EQ(u"TAVRIN-0\r\n", list.text);
  // Clients that see no arguments may call the method as a property.
  Invocation first =
      Invoke(dispatch.get(), DISPID_Get_First_DeviceName, {}, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  EXPECT_EQ(S_OK, first.hr);
  EXPECT_EQ(VT_BSTR, first.resultType);
  EXPECT_EQ(u"TAVRIN-0", first.text);
}

TEST_F(DispatchTest, AReadByReferenceWithAPaddedNameKeepsTheZeroByte) {
  auto device = InstrumentLayout();
  AttachModel(device);
  device->Queue(0x82, std::string("A\0B", 3));
  Text name(std::u16string(u"T\0A\0V\0R\0I\0N\0-\0" u"0\0", 16));
  const std::u16string before = name.str();
  Invocation read = Invoke(dispatch.get(), DISPID_Device_Read_Formatted, {TextReference(name)});
  ASSERT_EQ(S_OK, read.hr);
  EXPECT_EQ(VT_BSTR, read.resultType);
  EXPECT_EQ(std::u16string(u"A\0B", 3), read.text);
  EXPECT_EQ(before, name.str()) << "a name passed by reference comes back unchanged";
}

TEST_F(DispatchTest, ATextBehindAVariantReferenceIsAccepted) {
  auto device = InstrumentLayout();
  AttachModel(device);
  device->Queue(0x81, "answer");
  Text name(u"TAVRIN-0");
  VARIANT inner = TextArgument(name);
  VARIANT outer;
  VariantInit(&outer);
  V_VT(&outer) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&outer) = &inner;
  Invocation read = Invoke(dispatch.get(), DISPID_Device_Read_Interrogative, {outer});
  EXPECT_EQ(S_OK, read.hr);
  EXPECT_EQ(u"answer", read.text);
}

TEST_F(DispatchTest, WriteGivesItsResultAsALong) {
  Text name(u"TAVRIN-0");
  Text value(u"ECHO w\n");
  Invocation absent = Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name), TextReference(value)});
  EXPECT_EQ(S_OK, absent.hr);
  EXPECT_EQ(VT_I4, absent.resultType);
  EXPECT_EQ(-2, absent.number);
  auto instrument = AttachInstrument();
  Invocation sent = Invoke(dispatch.get(), DISPID_Device_Write, {TextReference(name), TextArgument(value)});
  EXPECT_EQ(VT_I4, sent.resultType);
  EXPECT_EQ(1, sent.number);
  EXPECT_EQ(std::vector<std::string>{"ECHO w"}, instrument->Commands());
  // An empty VARIANT is the empty text: nothing is sent.
  VARIANT empty;
  VariantInit(&empty);
  Invocation nothing = Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name), empty});
  EXPECT_EQ(S_OK, nothing.hr);
  EXPECT_EQ(VT_I4, nothing.resultType);
  EXPECT_EQ(0, nothing.number);
}

TEST_F(DispatchTest, NamedArgumentsGoToTheirParameters) {
  auto device = InstrumentLayout();
  AttachModel(device);
  Text name(u"TAVRIN-0");
  Text value(u"named");
  // Value first, DeviceName second, both by name.
  VARIANT arguments[2] = {TextArgument(value), TextArgument(name)};
  DISPID names[2] = {1, 0};
  DISPPARAMS parameters{arguments, names, 2, 2};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, dispatch->Invoke(DISPID_Device_Write, IID_NULL, 0, DISPATCH_METHOD, &parameters, &result, nullptr,
                                   nullptr));
  EXPECT_EQ(VT_I4, V_VT(&result));
  EXPECT_EQ(1, V_I4(&result));
  ASSERT_EQ(1u, device->Received().size());
  EXPECT_EQ("named", device->Received()[0].second);
  // A parameter named twice, or one the method does not have.
  UINT argumentError = 99;
  names[0] = 0;
  EXPECT_EQ(DISP_E_PARAMNOTFOUND, dispatch->Invoke(DISPID_Device_Write, IID_NULL, 0, DISPATCH_METHOD, &parameters,
                                                   &result, nullptr, &argumentError));
  EXPECT_EQ(1u, argumentError);
  names[0] = 2;
  EXPECT_EQ(DISP_E_PARAMNOTFOUND, dispatch->Invoke(DISPID_Device_Write, IID_NULL, 0, DISPATCH_METHOD, &parameters,
                                                   &result, nullptr, &argumentError));
  EXPECT_EQ(0u, argumentError);
  EXPECT_EQ(1u, device->Received().size());
}

TEST_F(DispatchTest, ACharacterOutsideLatin1ComesAsAnExceptionWithErrorSix) {
  auto device = InstrumentLayout();
  AttachModel(device);
  Text name(u"TAVRIN-0");
  Text value(u"\u0101");
  Invocation failed = Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name), TextArgument(value)});
  EXPECT_EQ(DISP_E_EXCEPTION, failed.hr);
  EXPECT_EQ(CTL_E_OVERFLOW, failed.exception.scode);
  EXPECT_EQ(6, failed.exception.scode & 0xFFFF);
  EXPECT_EQ(0, failed.exception.wCode);
  EXPECT_EQ(VT_EMPTY, failed.resultType);
  EXPECT_TRUE(device->Received().empty());

  // Without an exception record the status itself comes back.
  VARIANT arguments[2] = {TextArgument(value), TextArgument(name)};
  DISPPARAMS parameters{arguments, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(CTL_E_OVERFLOW,
            dispatch->Invoke(DISPID_Device_Write, IID_NULL, 0, DISPATCH_METHOD, &parameters, &result, nullptr, nullptr));
  EXPECT_EQ(VT_EMPTY, V_VT(&result));
}

TEST_F(DispatchTest, TheExceptionNamesItsSourceAndDescription) {
  Text name(u"TAVRIN-0");
  Text value(std::u16string(32768, u'a'));
  VARIANT arguments[2] = {TextArgument(value), TextArgument(name)};
  DISPPARAMS parameters{arguments, nullptr, 2, 0};
  EXCEPINFO exception{};
  ASSERT_EQ(DISP_E_EXCEPTION,
            dispatch->Invoke(DISPID_Device_Write, IID_NULL, 0, DISPATCH_METHOD, &parameters, nullptr, &exception, nullptr));
  Text source = Text::Adopt(exception.bstrSource);
  Text description = Text::Adopt(exception.bstrDescription);
  EXPECT_EQ(u"Tavrin_570x_Driver.cls_Tavrin_USB", source.str());
  EXPECT_EQ(u"Overflow", description.str());
  EXPECT_EQ(CTL_E_OVERFLOW, exception.scode);
}

TEST_F(DispatchTest, WrongCallsAreRefusedBeforeTheMethodRuns) {
  Text name(u"TAVRIN-0");
  Text value(u"x");
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(dispatch.get(), 0x60030005, {}).hr);
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(dispatch.get(), DISPID_VALUE, {}).hr);
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
            Invoke(dispatch.get(), DISPID_Get_First_DeviceName, {TextArgument(name)}, DISPATCH_PROPERTYPUT).hr);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name)}).hr);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch.get(), DISPID_Get_First_DeviceName, {TextArgument(name)}).hr);

  VARIANT number;
  VariantInit(&number);
  V_VT(&number) = VT_I4;
  V_I4(&number) = 3;
  Invocation mismatch = Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name), number});
  EXPECT_EQ(DISP_E_TYPEMISMATCH, mismatch.hr);
  EXPECT_EQ(0u, mismatch.argumentError);  // rgvarg[0] holds the last parameter
  mismatch = Invoke(dispatch.get(), DISPID_Device_Write, {number, TextArgument(value)});
  EXPECT_EQ(DISP_E_TYPEMISMATCH, mismatch.hr);
  EXPECT_EQ(1u, mismatch.argumentError);
  EXPECT_EQ(VT_EMPTY, mismatch.resultType);

  Invocation foreign = [&] {
    Invocation outcome;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    outcome.hr = dispatch->Invoke(DISPID_Get_First_DeviceName, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr,
                                  nullptr, nullptr);
    return outcome;
  }();
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, foreign.hr);
}

}  // namespace
}  // namespace librarytest
