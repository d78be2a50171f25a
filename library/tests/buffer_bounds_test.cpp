// Buffers and lengths the library refuses before any transfer request: every
// export returns 0, leaves the length as it was, unlocks the array and closes
// its handle, and nothing reaches the instrument or is taken from it.
#include "library_test_support.h"

#include <functional>
#include <ostream>

namespace librarytest {
namespace {

struct BadBuffer {
  const char *name;
  // The array to pass (null allowed) and the length to pass with it; the
  // array holds "ECHO bad\n" from index 0 wherever it can.
  std::function<SAFEARRAY *()> make;
  int32_t length;
  bool nullBuffer = false;  // pass a null SAFEARRAY** rather than an array
};

constexpr std::string_view kBad = "ECHO bad\n";

SAFEARRAY *Vector(LONG lower, ULONG count) {
  SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, lower, count);
  auto *data = static_cast<std::uint8_t *>(array->pvData);
  for (ULONG i = 0; i < count; ++i) {
    const int64_t index = int64_t{lower} + i;
    data[i] = index >= 0 && index < static_cast<int64_t>(kBad.size()) ? static_cast<std::uint8_t>(kBad[index]) : 'Z';
  }
  return array;
}

const int32_t kBadLength = static_cast<int32_t>(kBad.size());

std::vector<BadBuffer> BadBuffers() {
  return {
      {"LowerBoundOne", [] { return Vector(1, 9); }, kBadLength},
      {"AllIndexesNegative", [] { return Vector(-9, 9); }, kBadLength},
      {"EmptyArray", [] { return Vector(0, 0); }, 0},
      {"TwoDimensions",
       [] {
         SAFEARRAYBOUND bounds[2] = {{9, 0}, {2, 0}};
         return SafeArrayCreate(VT_UI1, 2, bounds);
       },
       kBadLength},
      {"TwoByteElements", [] { return SafeArrayCreateVector(VT_I2, 0, 9); }, kBadLength},
      {"NullArray", [] { return static_cast<SAFEARRAY *>(nullptr); }, kBadLength},
      {"NullBufferPointer", [] { return static_cast<SAFEARRAY *>(nullptr); }, kBadLength, true},
      {"NegativeLength", [] { return Vector(0, 9); }, -1},
      {"LengthBeyondTheArray", [] { return Vector(0, 9); }, kBadLength + 1},
      // Eleven elements, but only nine from index 0.
      {"LengthBeyondTheBytesFromIndexZero", [] { return Vector(-2, 11); }, kBadLength + 1},
      {"LengthOfLargestValue", [] { return Vector(0, 9); }, INT32_MAX},
  };
}

enum class Call { Write, ReadInterrogative, ReadFormatted };

struct Case {
  BadBuffer buffer;
  Call call;
};

std::string Describe(const Case &c) {
  static const char *const kCalls[] = {"Write", "ReadInterrogative", "ReadFormatted"};
  return std::string(kCalls[static_cast<int>(c.call)]) + "_" + c.buffer.name;
}

std::string CaseName(const ::testing::TestParamInfo<Case> &info) { return Describe(info.param); }

void PrintTo(const Case &c, std::ostream *os) { *os << Describe(c); }

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (Call call : {Call::Write, Call::ReadInterrogative, Call::ReadFormatted}) {
    for (const BadBuffer &buffer : BadBuffers()) cases.push_back({buffer, call});
  }
  return cases;
}

class BufferBoundsTest : public LibraryTest, public ::testing::WithParamInterface<Case> {};

TEST_P(BufferBoundsTest, RefusedBeforeAnyTransfer) {
  const Case &c = GetParam();
  auto instrument = AttachInstrument();
  // Answers waiting on both reply channels show whether a read was sent.
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO waiting\n"));
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "FMT 1\n"));

  Text name(u"TAVRIN-0");
  ByteArray buffer(c.buffer.make());
  int32_t length = c.buffer.length;
  SAFEARRAY **argument = c.buffer.nullBuffer ? nullptr : buffer.ptr();
  TransferExport call = c.call == Call::Write                ? USB_Write
                        : c.call == Call::ReadInterrogative ? USB_Read_Interrogative
                                                            : USB_Read_Formatted;
  EXPECT_EQ(0, call(name.ptr(), argument, &length));
  EXPECT_EQ(c.buffer.length, length);
  EXPECT_EQ(0u, buffer.Locks());
  EXPECT_EQ(0u, km::OpenFileCount());

  // Bytes of a write that got through would have joined this line.
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO after\n"));
  EXPECT_EQ((std::vector<std::string>{"ECHO waiting", "FMT 1", "ECHO after"}), instrument->Commands());
  // Both answers that were waiting are still there, first in line.
  EXPECT_EQ("waiting\n", Read(USB_Read_Interrogative, u"TAVRIN-0").text);
  EXPECT_EQ("FMT 1 of 1: " + usb::SubstituteInstrument::Reading(1) + "\n",
            Read(USB_Read_Formatted, u"TAVRIN-0", 32000).text);
}

INSTANTIATE_TEST_SUITE_P(EveryExport, BufferBoundsTest, ::testing::ValuesIn(Cases()), CaseName);

// The limits themselves are accepted: a length of exactly the bytes from index
// 0 to the end, a one-byte array, a length of 0; and the array's own locks are
// left as they were.
class BufferLimitsTest : public LibraryTest {};

TEST_F(BufferLimitsTest, LengthReachingTheArraysEndIsAccepted) {
  auto instrument = AttachInstrument();
  Text name(u"TAVRIN-0");
  ByteArray buffer(Vector(-2, 11));  // "ECHO bad\n" at indexes 0 to 8
  int32_t length = kBadLength;
  EXPECT_EQ(1, USB_Write(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(std::vector<std::string>{"ECHO bad"}, instrument->Commands());
}

TEST_F(BufferLimitsTest, SingleElementArrayAtIndexZeroIsAccepted) {
  auto instrument = AttachInstrument();
  Text name(u"TAVRIN-0");
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO ab"));
  ByteArray buffer(0, 1, '\n');
  int32_t length = 1;
  EXPECT_EQ(1, USB_Write(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(std::vector<std::string>{"ECHO ab"}, instrument->Commands());
}

TEST_F(BufferLimitsTest, ZeroLengthMovesNothing) {
  auto instrument = AttachInstrument();
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO kept\n"));
  Text name(u"TAVRIN-0");
  ByteArray buffer(0, 1, 'x');
  int32_t length = 0;
  EXPECT_EQ(1, USB_Write(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(0, length);
  EXPECT_EQ(0, USB_Read_Interrogative(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ('x', buffer.At(0));
  EXPECT_EQ(std::vector<std::string>{"ECHO kept"}, instrument->Commands());
  EXPECT_EQ("kept\n", Read(USB_Read_Interrogative, u"TAVRIN-0").text);
}

TEST_F(BufferLimitsTest, ArrayLockedByItsOwnerStaysLockedOnce) {
  auto instrument = AttachInstrument();
  Text name(u"TAVRIN-0");
  ByteArray buffer = ByteArray::FromText("ECHO locked\n");
  ASSERT_EQ(S_OK, SafeArrayLock(buffer.get()));
  int32_t length = 12;
  EXPECT_EQ(1, USB_Write(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(1u, buffer.Locks());
  ByteArray wrong(1, 4);
  ASSERT_EQ(S_OK, SafeArrayLock(wrong.get()));
  length = 4;
  EXPECT_EQ(0, USB_Write(name.ptr(), wrong.ptr(), &length));
  EXPECT_EQ(1u, wrong.Locks());
  EXPECT_EQ(S_OK, SafeArrayUnlock(wrong.get()));
  EXPECT_EQ(S_OK, SafeArrayUnlock(buffer.get()));
  EXPECT_EQ(std::vector<std::string>{"ECHO locked"}, instrument->Commands());
}

}  // namespace
}  // namespace librarytest
