// cls_Tavrin_USB through IDispatch: names to dispatch identifiers without
// regard to case, Invoke with texts by value, by reference and behind
// VARIANT references, other types converted to text, named arguments,
// results as VT_BSTR and VT_I4, the run-time error as an exception and as
// error information, and the type information.
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

// Values of other types become text as every automation server converts
// them: numbers in decimal, Booleans as True and False, Empty as the empty
// text, behind VARIANT references too.
TEST_F(DispatchTest, ArgumentsOfOtherTypesAreConvertedToText) {
  Text name(u"TAVRIN-0");
  VARIANT number;
  VariantInit(&number);
  V_VT(&number) = VT_I4;
  V_I4(&number) = 42;
  Invocation absent = Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name), number});
  EXPECT_EQ(S_OK, absent.hr);
  EXPECT_EQ(-2, absent.number) << "no instrument: not a type mismatch";

  auto device = InstrumentLayout();
  AttachModel(device);
  VARIANT real;
  VariantInit(&real);
  V_VT(&real) = VT_R8;
  V_R8(&real) = -1.5;
  VARIANT boolean;
  VariantInit(&boolean);
  V_VT(&boolean) = VT_BOOL;
  V_BOOL(&boolean) = VARIANT_TRUE;
  VARIANT byReference;
  VariantInit(&byReference);
  V_VT(&byReference) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&byReference) = &number;
  std::string sent;
  for (const VARIANT &value : {number, real, boolean, byReference}) {
    Invocation written = Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name), value});
    EXPECT_EQ(S_OK, written.hr);
    EXPECT_EQ(1, written.number);
  }
  for (const auto &transfer : device->Received()) sent += transfer.second + "|";
  EXPECT_EQ("42|-1.5|True|42|", sent);
  EXPECT_EQ(42, V_I4(&number)) << "the caller's value is unchanged";
}

// GetTypeInfo gives the interface's description: its five methods by name,
// with their parameters, and calls through it reach the object's methods.
TEST_F(DispatchTest, TheTypeInformationDescribesAndCallsTheFiveMethods) {
  UINT count = 99;
  EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  Ref<ITypeInfo> info;
  EXPECT_EQ(DISP_E_BADINDEX, dispatch->GetTypeInfo(1, 0, reinterpret_cast<ITypeInfo **>(info.out())));
  ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, 0, reinterpret_cast<ITypeInfo **>(info.out())));
  TYPEATTR *attributes = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
  ASSERT_EQ(5, attributes->cFuncs);
  info->ReleaseTypeAttr(attributes);
  std::vector<std::u16string> methods;
  for (UINT i = 0; i < 5; ++i) {
    FUNCDESC *function = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(i, &function));
    BSTR names[4] = {};
    UINT found = 0;
    ASSERT_EQ(S_OK, info->GetNames(function->memid, names, 4, &found));
    std::u16string line = Text::Adopt(names[0]).str();
    for (UINT n = 1; n < found; ++n) line += u" " + Text::Adopt(names[n]).str();
    methods.push_back(line);
    EXPECT_EQ(static_cast<SHORT>((7 + i) * sizeof(void *)), function->oVft);
    EXPECT_EQ(VT_HRESULT, function->elemdescFunc.tdesc.vt);
    EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, function->lprgelemdescParam[function->cParams - 1].paramdesc.wParamFlags);
    info->ReleaseFuncDesc(function);
  }
  EXPECT_EQ((std::vector<std::u16string>{u"Get_ALL_Available_DeviceName Result", u"Device_Read_Formatted DeviceName Result",
                                         u"Device_Read_Interrogative DeviceName Result",
                                         u"Device_Write DeviceName Value Result", u"Get_First_DeviceName Result"}),
            methods);
  LPOLESTR write[] = {const_cast<LPOLESTR>(u"device_write"), const_cast<LPOLESTR>(u"VALUE")};
  MEMBERID ids[2] = {};
  ASSERT_EQ(S_OK, info->GetIDsOfNames(write, 2, ids));
  EXPECT_EQ(DISPID_Device_Write, ids[0]);
  EXPECT_EQ(1, ids[1]);

  // A call through the description: 7 as the name is the text "7", no instrument.
  Ref<_cls_Tavrin_USB> object;
  ASSERT_EQ(S_OK, dispatch->QueryInterface(IID__cls_Tavrin_USB, object.out()));
  Text value(u"x");
  VARIANT seven;
  VariantInit(&seven);
  V_VT(&seven) = VT_I4;
  V_I4(&seven) = 7;
  VARIANT arguments[2] = {TextArgument(value), seven};
  DISPPARAMS parameters{arguments, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, info->Invoke(object.get(), DISPID_Device_Write, DISPATCH_METHOD, &parameters, &result, nullptr, nullptr));
  EXPECT_EQ(VT_I4, V_VT(&result));
  EXPECT_EQ(-2, V_I4(&result));
  // A failure comes as an exception with the method's error information.
  Text wide(u"\u0101");
  arguments[0] = TextArgument(wide);
  EXCEPINFO exception{};
  ASSERT_EQ(DISP_E_EXCEPTION,
            info->Invoke(object.get(), DISPID_Device_Write, DISPATCH_METHOD, &parameters, &result, &exception, nullptr));
  EXPECT_EQ(CTL_E_OVERFLOW, exception.scode);
  EXPECT_EQ(u"Overflow", Text::Adopt(exception.bstrDescription).str());
  EXPECT_EQ(u"Tavrin_570x_Driver.cls_Tavrin_USB", Text::Adopt(exception.bstrSource).str());
}

// A caller of the method table learns the error's source and description
// through ISupportErrorInfo and the thread's IErrorInfo.
TEST_F(DispatchTest, AFailedMethodLeavesErrorInformation) {
  Ref<_cls_Tavrin_USB> object;
  ASSERT_EQ(S_OK, dispatch->QueryInterface(IID__cls_Tavrin_USB, object.out()));
  Ref<ISupportErrorInfo> support;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_ISupportErrorInfo, support.out()));
  EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID__cls_Tavrin_USB));
  EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IClassFactory));
  Ref<IUnknown> same;
  ASSERT_EQ(S_OK, support->QueryInterface(IID_IUnknown, same.out()));
  Ref<IUnknown> identity;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, identity.out()));
  EXPECT_EQ(identity.get(), same.get());

  SetErrorInfo(0, nullptr);
  Text name(u"TAVRIN-0");
  Text value(std::u16string(32768, u'a'));
  LONG result = 5;
  ASSERT_EQ(CTL_E_OVERFLOW, object->Device_Write(name.ptr(), value.ptr(), &result));
  Ref<IErrorInfo> error;
  ASSERT_EQ(S_OK, GetErrorInfo(0, reinterpret_cast<IErrorInfo **>(error.out())));
  BSTR source = nullptr;
  BSTR description = nullptr;
  GUID guid{};
  EXPECT_EQ(S_OK, error->GetSource(&source));
  EXPECT_EQ(S_OK, error->GetDescription(&description));
  EXPECT_EQ(S_OK, error->GetGUID(&guid));
  EXPECT_EQ(u"Tavrin_570x_Driver.cls_Tavrin_USB", Text::Adopt(source).str());
  EXPECT_EQ(u"Overflow", Text::Adopt(description).str());
  EXPECT_TRUE(IsEqualGUID(IID__cls_Tavrin_USB, guid));
  IErrorInfo *none = nullptr;
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &none)) << "taken once";
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

TEST_F(DispatchTest, ACharacterWithoutAByteComesAsAnExceptionWithErrorSix) {
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

  // Null has no text form (nor has an array).
  VARIANT null;
  VariantInit(&null);
  V_VT(&null) = VT_NULL;
  Invocation mismatch = Invoke(dispatch.get(), DISPID_Device_Write, {TextArgument(name), null});
  EXPECT_EQ(DISP_E_TYPEMISMATCH, mismatch.hr);
  EXPECT_EQ(0u, mismatch.argumentError);  // rgvarg[0] holds the last parameter
  VARIANT array;
  VariantInit(&array);
  V_VT(&array) = VT_ARRAY | VT_UI1;
  V_ARRAY(&array) = SafeArrayCreateVector(VT_UI1, 0, 1);
  mismatch = Invoke(dispatch.get(), DISPID_Device_Write, {array, TextArgument(value)});
  SafeArrayDestroy(V_ARRAY(&array));
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
