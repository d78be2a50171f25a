#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

#include "counted_object.h"

namespace {

BYTE *data_of(SAFEARRAY *psa) { return static_cast<BYTE *>(psa->pvData); }

LONG bound(HRESULT (*get)(SAFEARRAY *, UINT, LONG *), SAFEARRAY *psa, UINT dim) {
  LONG value = 0x5A5A5A5A;
  EXPECT_EQ(get(psa, dim, &value), S_OK);
  return value;
}
LONG lbound(SAFEARRAY *psa, UINT dim) { return bound(SafeArrayGetLBound, psa, dim); }
LONG ubound(SAFEARRAY *psa, UINT dim) { return bound(SafeArrayGetUBound, psa, dim); }

TEST(SafeArray, VectorsWithLowerBoundsOneAndMinusFive) {
  SAFEARRAY *one = SafeArrayCreateVector(VT_I4, 1, 10);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(SafeArrayGetDim(one), 1u);
  EXPECT_EQ(SafeArrayGetElemsize(one), 4u);
  EXPECT_EQ(lbound(one, 1), 1);
  EXPECT_EQ(ubound(one, 1), 10);
  for (int i = 0; i < 10 * 4; ++i)
    EXPECT_EQ(data_of(one)[i], 0) << "byte " << i;
  EXPECT_EQ(SafeArrayDestroy(one), S_OK);

  SAFEARRAY *psa = SafeArrayCreateVector(VT_I2, -5, 3);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(lbound(psa, 1), -5);
  EXPECT_EQ(ubound(psa, 1), -3);
  for (LONG index = -5; index <= -3; ++index) {
    void *element = nullptr;
    ASSERT_EQ(SafeArrayPtrOfIndex(psa, &index, &element), S_OK);
    EXPECT_EQ(element, data_of(psa) + (index + 5) * 2);
  }
  for (LONG index : {-6, -2, 0}) {
    void *element = nullptr;
    EXPECT_EQ(SafeArrayPtrOfIndex(psa, &index, &element), DISP_E_BADINDEX) << index;
  }
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, BoundsAreStoredInReverseAndReportedPerDimension) {
  SAFEARRAYBOUND bounds[] = {{3, 1}, {4, -2}, {2, 10}};
  SAFEARRAY *psa = SafeArrayCreate(VT_I4, 3, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 3u);
  const SAFEARRAYBOUND *stored = psa->rgsabound;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(stored[i].cElements, bounds[2 - i].cElements);
    EXPECT_EQ(stored[i].lLbound, bounds[2 - i].lLbound);
  }
  EXPECT_EQ(lbound(psa, 1), 1);
  EXPECT_EQ(ubound(psa, 1), 3);
  EXPECT_EQ(lbound(psa, 2), -2);
  EXPECT_EQ(ubound(psa, 2), 1);
  EXPECT_EQ(ubound(psa, 3), 11);
  LONG value = 7;
  for (UINT dim : {0u, 4u}) {
    EXPECT_EQ(SafeArrayGetLBound(psa, dim, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, dim, &value), DISP_E_BADINDEX);
  }
  EXPECT_EQ(value, 7);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, FirstIndexVariesFastestInMemory) {
  SAFEARRAYBOUND bounds[] = {{3, 1}, {4, -2}};
  SAFEARRAY *psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  for (LONG j = -2; j <= 1; ++j)
    for (LONG i = 1; i <= 3; ++i) {
      LONG indices[] = {i, j};
      void *element = nullptr;
      ASSERT_EQ(SafeArrayPtrOfIndex(psa, indices, &element), S_OK);
      EXPECT_EQ(element, data_of(psa) + ((i - 1) + (j + 2) * 3) * 4) << i << "," << j;
      LONG value = 10 * i + j;
      ASSERT_EQ(SafeArrayPutElement(psa, indices, &value), S_OK);
      EXPECT_EQ(*static_cast<LONG *>(element), value);
    }
  LONG outside[][2] = {{0, 0}, {4, 0}, {1, -3}, {1, 2}};
  for (auto &indices : outside) {
    void *element = nullptr;
    LONG value = 0;
    EXPECT_EQ(SafeArrayPtrOfIndex(psa, indices, &element), DISP_E_BADINDEX) << indices[0] << "," << indices[1];
    EXPECT_EQ(SafeArrayGetElement(psa, indices, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPutElement(psa, indices, &value), DISP_E_BADINDEX);
  }
  EXPECT_EQ(psa->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, CreateRefusesBadArgumentsAndSizesThatOverflow) {
  SAFEARRAYBOUND one{4, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &one), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
  const VARTYPE unsupported[] = {VT_EMPTY, VT_NULL, 15, VT_VOID, VT_LPSTR, VT_ARRAY | VT_I4, VT_BYREF | VT_I4};
  for (VARTYPE vt : unsupported)
    EXPECT_EQ(SafeArrayCreate(vt, 1, &one), nullptr) << "vt " << vt;
  SAFEARRAYBOUND huge[] = {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 3, huge), nullptr);
  // The element count fits in 64 bits, the byte count does not.
  EXPECT_EQ(SafeArrayCreate(VT_I8, 2, huge + 1), nullptr);
}

TEST(SafeArray, NullArgumentsAreRefused) {
  LONG index = 0;
  void *data;
  VARTYPE vt;
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
  EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayUnlock(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &index), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPtrOfIndex(nullptr, &index, &data), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
  SAFEARRAY *psa = SafeArrayCreateVector(VT_I4, 0, 1);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayPtrOfIndex(psa, nullptr, &data), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(psa, &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(psa, &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayRedim(psa, nullptr), E_INVALIDARG);
  EXPECT_EQ(psa->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, LockRefusesDestroyAndRedimAndUnlockCannotUnderflow) {
  SAFEARRAY *psa = SafeArrayCreateVector(VT_I4, 0, 4);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  EXPECT_EQ(psa->cLocks, 2u);
  SAFEARRAYBOUND bigger{8, 0};
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayRedim(psa, &bigger), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(ubound(psa, 1), 3);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(psa->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, AccessDataLocksAndReturnsTheElements) {
  SAFEARRAY *psa = SafeArrayCreateVector(VT_I4, 1, 3);
  ASSERT_NE(psa, nullptr);
  void *data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(data, psa->pvData);
  EXPECT_EQ(psa->cLocks, 1u);
  static_cast<LONG *>(data)[2] = 42;
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
  LONG index = 3;
  LONG value = 0;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &value), S_OK);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, VartypeAndFeatures) {
  const struct {
    VARTYPE vt;
    USHORT features;
  } cases[] = {{VT_I4, FADF_HAVEVARTYPE},
               {VT_BSTR, FADF_HAVEVARTYPE | FADF_BSTR},
               {VT_VARIANT, FADF_HAVEVARTYPE | FADF_VARIANT},
               {VT_UNKNOWN, FADF_HAVEIID | FADF_UNKNOWN},
               {VT_DISPATCH, FADF_HAVEIID | FADF_DISPATCH}};
  for (const auto &c : cases) {
    SAFEARRAY *psa = SafeArrayCreateVector(c.vt, 0, 1);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->fFeatures, c.features) << "vt " << c.vt;
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, c.vt);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
  SAFEARRAY *psa = SafeArrayCreateVector(VT_R8, 0, 1);
  ASSERT_NE(psa, nullptr);
  DWORD stored_vt;
  std::memcpy(&stored_vt, reinterpret_cast<BYTE *>(psa) - 4, sizeof stored_vt);
  EXPECT_EQ(stored_vt, DWORD(VT_R8));
  EXPECT_EQ(SafeArrayGetElemsize(psa), 8u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, BstrElementsAreCopiedOnPutAndGetAndFreedOnDestroy) {
  SAFEARRAY *psa = SafeArrayCreateVector(VT_BSTR, 1, 2);
  ASSERT_NE(psa, nullptr);
  BSTR original = SysAllocStringByteLen("odd", 3);
  LONG index = 2;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, original), S_OK);
  BSTR stored_string = static_cast<BSTR *>(psa->pvData)[1];
  EXPECT_NE(stored_string, original);
  SysFreeString(original);
  BSTR fetched = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &fetched), S_OK);
  EXPECT_NE(fetched, stored_string);
  EXPECT_EQ(SysStringByteLen(fetched), 3u);
  EXPECT_EQ(std::memcmp(fetched, "odd\0", 5), 0);
  SysFreeString(fetched);
  // An element never written reads back as a null string.
  index = 1;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &fetched), S_OK);
  EXPECT_EQ(fetched, nullptr);
  // The leak checker of the sanitizer build reports strings left behind.
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, InterfaceAndVariantElementsHoldTheirOwnReferences) {
  CountedObject first;
  CountedObject second;
  SAFEARRAY *interfaces = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  SAFEARRAY *variants = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  ASSERT_NE(interfaces, nullptr);
  ASSERT_NE(variants, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(interfaces, &index, &first), S_OK);
  EXPECT_EQ(first.references, 2u);
  ASSERT_EQ(SafeArrayPutElement(interfaces, &index, &second), S_OK);
  EXPECT_EQ(first.references, 1u);
  void *fetched = nullptr;
  ASSERT_EQ(SafeArrayGetElement(interfaces, &index, &fetched), S_OK);
  EXPECT_EQ(fetched, &second);
  EXPECT_EQ(second.references, 3u);
  EXPECT_EQ(SafeArrayDestroy(interfaces), S_OK);
  EXPECT_EQ(second.references, 2u);

  VARIANT value;
  value.vt = VT_UNKNOWN;
  value.punkVal = &first;
  ASSERT_EQ(SafeArrayPutElement(variants, &index, &value), S_OK);
  EXPECT_EQ(first.references, 2u);
  EXPECT_EQ(SafeArrayDestroy(variants), S_OK);
  EXPECT_EQ(first.references, 1u);
}

TEST(SafeArray, RedimOfTheLastDimensionKeepsElements) {
  SAFEARRAYBOUND bounds[] = {{2, 0}, {3, 1}};
  SAFEARRAY *psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  for (LONG k = 0; k < 6; ++k)
    static_cast<LONG *>(psa->pvData)[k] = k + 1;
  SAFEARRAYBOUND grown{5, 1};
  ASSERT_EQ(SafeArrayRedim(psa, &grown), S_OK);
  EXPECT_EQ(ubound(psa, 1), 1);
  EXPECT_EQ(ubound(psa, 2), 5);
  for (LONG j = 1; j <= 5; ++j)
    for (LONG i = 0; i < 2; ++i) {
      LONG indices[] = {i, j};
      LONG value = -1;
      ASSERT_EQ(SafeArrayGetElement(psa, indices, &value), S_OK);
      EXPECT_EQ(value, j <= 3 ? (j - 1) * 2 + i + 1 : 0) << i << "," << j;
    }
  SAFEARRAYBOUND shrunk{1, -4};
  ASSERT_EQ(SafeArrayRedim(psa, &shrunk), S_OK);
  EXPECT_EQ(lbound(psa, 2), -4);
  LONG indices[] = {1, -4};
  LONG value = -1;
  ASSERT_EQ(SafeArrayGetElement(psa, indices, &value), S_OK);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, RedimShrinkReleasesDroppedElements) {
  CountedObject kept;
  CountedObject dropped;
  SAFEARRAY *psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, &kept), S_OK);
  index = 1;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, &dropped), S_OK);
  SAFEARRAYBOUND shrunk{1, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &shrunk), S_OK);
  EXPECT_EQ(dropped.references, 1u);
  EXPECT_EQ(kept.references, 2u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(kept.references, 1u);
}

} // namespace
