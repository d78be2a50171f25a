#include <oaidl.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The text VariantChangeType makes of `v`, or the failure's code as text.
std::u16string AsText(VARIANT v, USHORT flags = VARIANT_ALPHABOOL) {
  VARIANT out;
  VariantInit(&out);
  const HRESULT hr = VariantChangeType(&out, &v, flags, VT_BSTR);
  if (FAILED(hr)) return hr == DISP_E_TYPEMISMATCH ? u"<mismatch>" : u"<failed>";
  std::u16string text(out.bstrVal, SysStringLen(out.bstrVal));
  VariantClear(&out);
  return text;
}

VARIANT Of(VARTYPE vt, LONGLONG bits) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.llVal = bits;
  return v;
}

VARIANT OfReal(double value) {
  VARIANT v = Of(VT_R8, 0);
  v.dblVal = value;
  return v;
}

TEST(VariantChangeType, ConvertsAsAutomationServersDo) {
  EXPECT_EQ(u"42", AsText(Of(VT_I4, 42)));
  EXPECT_EQ(u"-7", AsText(Of(VT_I2, -7)));
  EXPECT_EQ(u"255", AsText(Of(VT_UI1, 255)));
  EXPECT_EQ(u"1.5", AsText(OfReal(1.5)));
  EXPECT_EQ(u"0.1", AsText(OfReal(0.1)));
  EXPECT_EQ(u"1E+20", AsText(OfReal(1e20)));
  EXPECT_EQ(u"True", AsText(Of(VT_BOOL, VARIANT_TRUE)));
  EXPECT_EQ(u"-1", AsText(Of(VT_BOOL, VARIANT_TRUE), 0));
  EXPECT_EQ(u"", AsText(Of(VT_EMPTY, 0)));
  EXPECT_EQ(u"<mismatch>", AsText(Of(VT_NULL, 0)));
  EXPECT_EQ(u"<mismatch>", AsText(Of(VT_ERROR, 0)));
  LONG referenced = 12;
  VARIANT byReference = Of(VT_I4 | VT_BYREF, 0);
  byReference.plVal = &referenced;
  EXPECT_EQ(u"12", AsText(byReference));

  // Text to a number: rounded half to even, out of range is an overflow.
  VARIANT text = Of(VT_BSTR, 0);
  VARIANT number;
  VariantInit(&number);
  for (const auto &[input, expected] : {std::pair{u" 2.5 ", 2}, std::pair{u"-3.5", -4}, std::pair{u"true", -1}}) {
    text.bstrVal = SysAllocString(input);
    ASSERT_EQ(S_OK, VariantChangeType(&number, &text, 0, VT_I4));
    EXPECT_EQ(VT_I4, number.vt);
    EXPECT_EQ(expected, number.lVal);
    VariantClear(&text);
    text.vt = VT_BSTR;
  }
  text.bstrVal = SysAllocString(u"3000000000");
  EXPECT_EQ(DISP_E_OVERFLOW, VariantChangeType(&number, &text, 0, VT_I4));
  VariantClear(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"12abc");
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&number, &text, 0, VT_I4));
  VariantClear(&text);
  // In place: the text is converted and freed.
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"17");
  ASSERT_EQ(S_OK, VariantChangeType(&text, &text, 0, VT_I4));
  EXPECT_EQ(VT_I4, text.vt);
  EXPECT_EQ(17, text.lVal);
}

}  // namespace
