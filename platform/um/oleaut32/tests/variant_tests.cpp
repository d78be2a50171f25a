#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

#include "counted_object.h"

namespace {

TEST(Variant, ClearFreesAStringAndReleasesInterfaces) {
  VARIANT v;
  std::memset(&v, 0xA5, sizeof v);
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"owned by the variant");
  // The leak checker of the sanitizer build reports the string if it stays.
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  CountedObject object;
  object.references = 2;
  v.vt = VT_DISPATCH;
  v.pdispVal = &object;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.references, 1u);
}

TEST(Variant, ClearOfAReferenceLeavesTheReferencedValueAlone) {
  BSTR text = SysAllocString(u"not owned");
  VARIANT v;
  v.vt = VT_BYREF | VT_BSTR;
  v.pbstrVal = &text;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(std::u16string_view(text), u"not owned");
  SysFreeString(text);
}

TEST(Variant, ClearRefusesTypesAVariantCannotHold) {
  const VARTYPE invalid[] = {15,        VT_VOID,           VT_LPWSTR,           VT_VARIANT,
                             VT_RECORD, VT_VECTOR | VT_I4, VT_BYREF | VT_EMPTY, VT_ARRAY | VT_NULL};
  for (VARTYPE vt : invalid) {
    VARIANT v;
    v.vt = vt;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << "vt " << vt;
    EXPECT_EQ(v.vt, vt);
  }
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, ClearDestroysArraysUnlessLocked) {
  VARIANT v;
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
  ASSERT_NE(v.parray, nullptr);
  LONG index = 0;
  BSTR text = SysAllocString(u"element");
  ASSERT_EQ(SafeArrayPutElement(v.parray, &index, text), S_OK);
  SysFreeString(text);
  ASSERT_EQ(SafeArrayLock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
  ASSERT_EQ(SafeArrayUnlock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(Variant, CopyDuplicatesStringsAndClearsTheTargetFirst) {
  CountedObject previous;
  previous.references = 2;
  VARIANT target;
  target.vt = VT_UNKNOWN;
  target.punkVal = &previous;
  VARIANT source;
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocStringByteLen("odd", 3);
  ASSERT_EQ(VariantCopy(&target, &source), S_OK);
  EXPECT_EQ(previous.references, 1u);
  EXPECT_EQ(target.vt, VT_BSTR);
  EXPECT_NE(target.bstrVal, source.bstrVal);
  EXPECT_EQ(VariantClear(&source), S_OK);
  EXPECT_EQ(SysStringByteLen(target.bstrVal), 3u);
  EXPECT_EQ(std::memcmp(target.bstrVal, "odd\0", 5), 0);
  // Copying a VARIANT onto itself changes nothing.
  BSTR before = target.bstrVal;
  EXPECT_EQ(VariantCopy(&target, &target), S_OK);
  EXPECT_EQ(target.bstrVal, before);
  EXPECT_EQ(VariantClear(&target), S_OK);
}

TEST(Variant, CopyOfAnArrayIsDeep) {
  VARIANT source;
  source.vt = VT_ARRAY | VT_I4;
  source.parray = SafeArrayCreateVector(VT_I4, 2, 2);
  ASSERT_NE(source.parray, nullptr);
  LONG index = 3;
  LONG value = 99;
  ASSERT_EQ(SafeArrayPutElement(source.parray, &index, &value), S_OK);
  VARIANT target;
  VariantInit(&target);
  ASSERT_EQ(VariantCopy(&target, &source), S_OK);
  ASSERT_NE(target.parray, nullptr);
  EXPECT_NE(target.parray, source.parray);
  EXPECT_EQ(VariantClear(&source), S_OK);
  LONG copied = 0;
  ASSERT_EQ(SafeArrayGetElement(target.parray, &index, &copied), S_OK);
  EXPECT_EQ(copied, 99);
  EXPECT_EQ(VariantClear(&target), S_OK);
}

TEST(Variant, CopyRefusesBadArguments) {
  VARIANT source;
  source.vt = VT_VECTOR | VT_I4;
  VARIANT target;
  target.vt = VT_I2;
  EXPECT_EQ(VariantCopy(&target, &source), DISP_E_BADVARTYPE);
  EXPECT_EQ(target.vt, VT_I2);
  EXPECT_EQ(VariantCopy(nullptr, &target), E_INVALIDARG);
  EXPECT_EQ(VariantCopy(&target, nullptr), E_INVALIDARG);
}

} // namespace
