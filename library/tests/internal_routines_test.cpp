// The library's internal routines called directly: Strip_Nul, Open_Device,
// Get_Pipe_Info, and Channel_Transfer with channels the exports never pass.
#include "library_test_support.h"

#include <library_routines.h>

#include <tavrin_ioctl.h>

#include <cstring>

namespace librarytest {
namespace {

std::u16string Stripped(std::u16string_view text) {
  Text input(text);
  const std::vector<std::uint8_t> before = input.RawBytes();
  Text result = Text::Adopt(Strip_Nul(input.get()));
  EXPECT_NE(nullptr, result.get());
  EXPECT_NE(input.get(), result.get()) << "a new text is returned";
  EXPECT_EQ(before, input.RawBytes()) << "the input is not changed";
  return result.str();
}

TEST(StripNulTest, EmptyTextGivesEmptyText) { EXPECT_EQ(u"", Stripped(u"")); }

TEST(StripNulTest, OnlyNulsGiveEmptyText) { EXPECT_EQ(u"", Stripped(std::u16string(5, u'\0'))); }

TEST(StripNulTest, OtherCharactersKeepTheirOrder) {
  EXPECT_EQ(u"TAVRIN-0", Stripped(std::u16string(u"T\0A\0V\0R\0I\0N\0-\0" u"0\0", 16)));
  EXPECT_EQ(u"ab\u00E9\u0130c", Stripped(std::u16string(u"\0a\0\0b\u00E9\u0130\0c", 9)));
  EXPECT_EQ(u"plain", Stripped(u"plain"));
}

TEST(StripNulTest, NullTextIsTheEmptyText) {
  BSTR none = nullptr;
  Text result = Text::Adopt(Strip_Nul(none));
  ASSERT_NE(nullptr, result.get());
  EXPECT_EQ(0u, SysStringLen(result.get()));
}

class OpenDeviceTest : public LibraryTest {};

// Whether Open_Device gives a handle for `name`; a handle it gives is closed.
bool Opens(std::u16string_view name) {
  HANDLE device = Open_Device(Text(name).get());
  if (device == nullptr) return false;
  CloseHandle(device);
  return true;
}

TEST_F(OpenDeviceTest, AbsentInstrumentGivesNull) {
  EXPECT_FALSE(Opens(u"TAVRIN-0"));
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(OpenDeviceTest, PresentInstrumentGivesAHandleTheCallerCloses) {
  AttachInstrument();
  AttachInstrument();
  HANDLE device = Open_Device(Text(u"TAVRIN-1").get());
  ASSERT_NE(nullptr, device);
  EXPECT_GT(static_cast<int32_t>(reinterpret_cast<intptr_t>(device)), 0);
  EXPECT_EQ(1u, host::OpenHandles(ids[1]));
  EXPECT_EQ(0u, host::OpenHandles(ids[0]));
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(0u, km::OpenFileCount());
}

// Only the driver's own names are opened: "TAVRIN-" and one slot character,
// in any case, read up to the first NUL as the open call reads it. Another
// device name that leads to the same device (here a second link, as a pipe or
// another driver's device would be on Windows) is not opened.
TEST_F(OpenDeviceTest, OnlyNamesOfTheDriversFormAreOpened) {
  AttachInstrument();
  for (const char16_t *link : {u"\\DosDevices\\pipe\\anything", u"\\DosDevices\\TAVRIN-00"}) {
    UNICODE_STRING linkName;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&linkName, link);
    RtlInitUnicodeString(&deviceName, u"\\Device\\Tavrin-0");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&linkName, &deviceName));
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, km::OpenFile(std::u16string(u"\\??\\") + (link + 12), &file)) << "a second name";
    km::CloseFile(file);
  }
  EXPECT_TRUE(Opens(u"TAVRIN-0"));
  EXPECT_TRUE(Opens(u"tavrin-0"));
  EXPECT_TRUE(Opens(std::u16string_view(u"Tavrin-0\0junk", 13)));
  for (std::u16string_view name : {u"pipe\\anything", u"TAVRIN-00", u"TAVRIN-\u0130", u"\u0100TAVRIN-0", u"TAVRIN-0 ",
                                   u"TAVRIN-", u"", u"TAVRIN-@", u"TAVRIN-/"}) {
    EXPECT_FALSE(Opens(name)) << "opened a name not of the driver's form";
  }
  EXPECT_EQ(0u, km::OpenFileCount());
  for (const char16_t *link : {u"\\DosDevices\\pipe\\anything", u"\\DosDevices\\TAVRIN-00"}) {
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, link);
    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&linkName));
  }
}

class PipeInfoTest : public LibraryTest {};

TEST_F(PipeInfoTest, RecordGivesTheEndpointOfEachChannel) {
  AttachInstrument();
  InterfaceRecordBuffer record;
  std::memset(record, 0, sizeof record);
  ASSERT_TRUE(Get_Pipe_Info(Text(u"TAVRIN-0").get(), record));
  EXPECT_EQ(0u, km::OpenFileCount());
  EXPECT_EQ(usb::SubstituteInstrument::kCommandEndpoint, record[TAVRIN_RECORD_ENDPOINT_OFFSET(kCommandChannel)]);
  EXPECT_EQ(usb::SubstituteInstrument::kInterrogativeEndpoint,
            record[TAVRIN_RECORD_ENDPOINT_OFFSET(kInterrogativeChannel)]);
  EXPECT_EQ(usb::SubstituteInstrument::kFormattedEndpoint, record[TAVRIN_RECORD_ENDPOINT_OFFSET(kFormattedChannel)]);
  EXPECT_EQ(0, record[TAVRIN_RECORD_ENDPOINT_OFFSET(3)]);
}

TEST_F(PipeInfoTest, AbsentInstrumentGivesZeroAndAnUntouchedRecord) {
  InterfaceRecordBuffer record;
  std::memset(record, 0x5A, sizeof record);
  EXPECT_FALSE(Get_Pipe_Info(Text(u"TAVRIN-0").get(), record));
  for (BYTE b : record) ASSERT_EQ(0x5A, b);
  EXPECT_EQ(0u, km::OpenFileCount());
}

class ChannelTransferTest : public LibraryTest {};

TEST_F(ChannelTransferTest, ResultsAreOneZeroAndMinusTwo) {
  AttachInstrument();
  Text name(u"TAVRIN-0");
  ByteArray buffer = ByteArray::FromText("ECHO r\n");
  int32_t length = 7;
  EXPECT_EQ(kTransferCompleted, Channel_Transfer(name.ptr(), kCommandChannel, buffer.ptr(), &length));
  length = 7;
  EXPECT_EQ(kTransferCompleted, Channel_Transfer(name.ptr(), kInterrogativeChannel, buffer.ptr(), &length));
  EXPECT_EQ(2, length);
  length = 7;
  EXPECT_EQ(kTransferFailed, Channel_Transfer(name.ptr(), kInterrogativeChannel, buffer.ptr(), &length));
  Text absent(u"TAVRIN-1");
  length = 7;
  EXPECT_EQ(kDeviceNotOpened, Channel_Transfer(absent.ptr(), kCommandChannel, buffer.ptr(), &length));
  EXPECT_EQ(7, length);
  EXPECT_EQ(0u, km::OpenFileCount());
}

// Pipe entries 13 and up, and negative ones, lie outside the 356-byte record:
// the bounds error, with no request sent.
TEST_F(ChannelTransferTest, ChannelOutsideTheRecordIsABoundsError) {
  auto instrument = AttachInstrument();
  Text name(u"TAVRIN-0");
  for (int16_t channel : {int16_t{13}, int16_t{14}, int16_t{-1}, int16_t{INT16_MAX}, int16_t{INT16_MIN}}) {
    ByteArray buffer = ByteArray::FromText("ECHO outside\n");
    int32_t length = 13;
    EXPECT_EQ(kBoundsError, Channel_Transfer(name.ptr(), channel, buffer.ptr(), &length)) << channel;
    EXPECT_EQ(13, length);
    EXPECT_EQ(0u, buffer.Locks());
    EXPECT_EQ(0u, km::OpenFileCount());
  }
  EXPECT_TRUE(instrument->Commands().empty());
}

// Entry 12 is the last that lies inside the record: with thirteen pipes, the
// thirteenth an OUT pipe, channel 12 writes to it.
TEST_F(ChannelTransferTest, LastEntryInsideTheRecordIsUsed) {
  std::vector<std::uint8_t> endpoints;
  for (std::uint8_t n = 1; n <= 6; ++n) endpoints.push_back(static_cast<std::uint8_t>(0x80 | n));
  for (std::uint8_t n = 1; n <= 7; ++n) endpoints.push_back(n);
  auto device = std::make_shared<PipeLayoutDevice>(endpoints);
  AttachModel(device);
  Text name(u"TAVRIN-0");
  ByteArray buffer = ByteArray::FromText("twelve");
  int32_t length = 6;
  EXPECT_EQ(kTransferCompleted, Channel_Transfer(name.ptr(), int16_t{12}, buffer.ptr(), &length));
  length = 6;
  EXPECT_EQ(kBoundsError, Channel_Transfer(name.ptr(), int16_t{13}, buffer.ptr(), &length));
  const std::vector<std::pair<std::uint8_t, std::string>> expected{{0x07, "twelve"}};
  EXPECT_EQ(expected, device->Received());
  EXPECT_EQ(0u, km::OpenFileCount());
}

}  // namespace
}  // namespace librarytest
