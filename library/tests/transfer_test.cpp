// Channel transfers through the three exports against substitute instruments
// and a device with its pipes in another order: results, bytes, the length
// variable, the device name and the handles each call leaves behind.
#include "library_test_support.h"

#include <future>

extern "C" int32_t C_Client_Write(const OLECHAR *name, const unsigned char *bytes, unsigned count);

namespace librarytest {
namespace {

class TransferTest : public LibraryTest {};

TEST_F(TransferTest, WriteReturnsExactlyOneAndTheInstrumentReceivesTheBytes) {
  auto instrument = AttachInstrument();
  Text name(u"TAVRIN-0");
  ByteArray buffer = ByteArray::FromText("ECHO hello\n");
  int32_t length = 11;
  EXPECT_EQ(1, USB_Write(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(11, length);  // the bytes moved
  EXPECT_EQ(0u, km::OpenFileCount());
  EXPECT_EQ(std::vector<std::string>{"ECHO hello"}, instrument->Commands());
}

TEST_F(TransferTest, WriteSendsOnlyLengthBytesFromIndexZero) {
  auto instrument = AttachInstrument();
  Text name(u"TAVRIN-0");
  ByteArray buffer(-3, 17, 'X');  // indexes -3 to 13
  buffer.Put(0, "ECHO part\n");
  int32_t length = 10;
  ASSERT_EQ(1, USB_Write(name.ptr(), buffer.ptr(), &length));
  // Bytes before index 0 or after the length would have joined the next line.
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO next\n"));
  EXPECT_EQ((std::vector<std::string>{"ECHO part", "ECHO next"}), instrument->Commands());
}

TEST_F(TransferTest, CClientWrites) {
  auto instrument = AttachInstrument();
  const unsigned char bytes[] = {'E', 'C', 'H', 'O', ' ', 'c', '\n'};
  EXPECT_EQ(1, C_Client_Write(u"TAVRIN-0", bytes, sizeof bytes));
  EXPECT_EQ(-2, C_Client_Write(u"TAVRIN-1", bytes, sizeof bytes));
  EXPECT_EQ(std::vector<std::string>{"ECHO c"}, instrument->Commands());
}

TEST_F(TransferTest, NoInstrumentGivesMinusTwoAndZeroAndLeavesLengthAndBytes) {
  Text name(u"TAVRIN-0");
  for (TransferExport call : {USB_Write, USB_Read_Interrogative, USB_Read_Formatted}) {
    ByteArray buffer(0, 8, 0xEE);
    int32_t length = 5;
    const int32_t expected = call == USB_Write ? -2 : 0;
    EXPECT_EQ(expected, call(name.ptr(), buffer.ptr(), &length));
    EXPECT_EQ(5, length);
    EXPECT_EQ(std::vector<std::uint8_t>(8, 0xEE), buffer.Bytes());
    EXPECT_EQ(0u, km::OpenFileCount());
  }
}

TEST_F(TransferTest, IdleChannelsReadAsZero) {
  AttachInstrument();
  Text name(u"TAVRIN-0");
  for (TransferExport read : {USB_Read_Interrogative, USB_Read_Formatted}) {
    ByteArray buffer(0, 65, 0xEE);
    int32_t length = 64;
    EXPECT_EQ(0, read(name.ptr(), buffer.ptr(), &length));
    EXPECT_EQ(std::vector<std::uint8_t>(65, 0xEE), buffer.Bytes());
    EXPECT_EQ(0u, km::OpenFileCount());
  }
}

TEST_F(TransferTest, ReadAfterIdentityQueryFillsFromIndexZeroAndNoFurther) {
  AttachInstrument();
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "*IDN?\n"));
  Text name(u"TAVRIN-0");
  ByteArray buffer(0, 65, 0xEE);
  int32_t length = 64;
  const int32_t received = USB_Read_Interrogative(name.ptr(), buffer.ptr(), &length);
  EXPECT_EQ(0u, km::OpenFileCount());
  ASSERT_EQ(static_cast<int32_t>(kDefaultIdentity.size()), received);
  EXPECT_EQ(received, length);
  const std::vector<std::uint8_t> bytes = buffer.Bytes();
  EXPECT_EQ(kDefaultIdentity, std::string(bytes.begin(), bytes.begin() + received));
  for (std::size_t i = static_cast<std::size_t>(received); i < bytes.size(); ++i) {
    EXPECT_EQ(0xEE, bytes[i]) << "byte " << i << " was written";
  }
  // The answer was taken once.
  EXPECT_EQ(0, Read(USB_Read_Interrogative, u"TAVRIN-0").result);
}

TEST_F(TransferTest, ReadTakesAtMostTheOfferedLength) {
  AttachInstrument();
  const std::string text = "abcdefghijklmnopqrstuvwxyz0123";
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO " + text + "\n"));
  Text name(u"TAVRIN-0");
  ByteArray buffer(0, 11, 0xEE);
  int32_t length = 10;
  ASSERT_EQ(10, USB_Read_Interrogative(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(10, length);
  const std::vector<std::uint8_t> bytes = buffer.Bytes();
  EXPECT_EQ(text.substr(0, 10), std::string(bytes.begin(), bytes.begin() + 10));
  EXPECT_EQ(0xEE, buffer.At(10));
  // The rest of the answer comes with the next read.
  EXPECT_EQ(text.substr(10) + "\n", Read(USB_Read_Interrogative, u"TAVRIN-0").text);
}

TEST_F(TransferTest, ReadStoresFromIndexZeroOfAnArrayWithNegativeLowerBound) {
  AttachInstrument();
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO low\n"));
  Text name(u"TAVRIN-0");
  ByteArray buffer(-2, 12, 0xEE);  // indexes -2 to 9: ten bytes from index 0
  int32_t length = 10;
  ASSERT_EQ(4, USB_Read_Interrogative(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(0xEE, buffer.At(-2));
  EXPECT_EQ(0xEE, buffer.At(-1));
  EXPECT_EQ('l', buffer.At(0));
  EXPECT_EQ('\n', buffer.At(3));
  EXPECT_EQ(0xEE, buffer.At(4));
}

TEST_F(TransferTest, FormattedChannelDeliversItsLinesOneReadEach) {
  AttachInstrument();
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "FMT 2\n"));
  const std::string first = "FMT 1 of 2: " + usb::SubstituteInstrument::Reading(1) + "\n";
  const std::string second = "FMT 2 of 2: " + usb::SubstituteInstrument::Reading(2) + "\n";
  ReadOutcome one = Read(USB_Read_Formatted, u"TAVRIN-0", 32000);
  EXPECT_EQ(static_cast<int32_t>(first.size()), one.result);
  EXPECT_EQ(one.result, one.length);
  EXPECT_EQ(first, one.text);
  EXPECT_EQ(second, Read(USB_Read_Formatted, u"TAVRIN-0", 32000).text);
  EXPECT_EQ(0, Read(USB_Read_Formatted, u"TAVRIN-0", 32000).result);
  // Nothing came on the interrogative channel.
  EXPECT_EQ(0, Read(USB_Read_Interrogative, u"TAVRIN-0").result);
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(TransferTest, DeviceNameIsByteIdenticalAfterEveryCall) {
  AttachInstrument();
  Text name(u"TAVRIN-0");
  const std::vector<std::uint8_t> before = name.RawBytes();
  const BSTR address = name.get();
  auto check = [&](const char *what) {
    EXPECT_EQ(address, name.get()) << what;
    EXPECT_EQ(before, name.RawBytes()) << what;
    EXPECT_EQ(0u, km::OpenFileCount()) << what;
  };
  {
    ByteArray buffer = ByteArray::FromText("ECHO name\n");
    int32_t length = 10;
    EXPECT_EQ(1, USB_Write(name.ptr(), buffer.ptr(), &length));
    check("completed write");
  }
  {
    ByteArray buffer(0, 65);
    int32_t length = 64;
    EXPECT_EQ(5, USB_Read_Interrogative(name.ptr(), buffer.ptr(), &length));
    check("completed read");
    EXPECT_EQ(0, USB_Read_Formatted(name.ptr(), buffer.ptr(), &length));
    check("idle read");
  }
  {
    ByteArray buffer(1, 4);
    int32_t length = 4;
    EXPECT_EQ(0, USB_Write(name.ptr(), buffer.ptr(), &length));
    check("refused array");
  }
  host::Detach(ids[0]);
  host::WaitForPnp();
  {
    ByteArray buffer(0, 4);
    int32_t length = 4;
    EXPECT_EQ(-2, USB_Write(name.ptr(), buffer.ptr(), &length));
    check("absent instrument");
  }
}

TEST_F(TransferTest, NameWithNulAfterEachLetterIsNotOpened) {
  auto instrument = AttachInstrument();
  const std::u16string padded(u"T\0A\0V\0R\0I\0N\0-\0" u"0\0", 16);
  const std::vector<std::uint8_t> before = Text(padded).RawBytes();
  Text name(padded);
  ByteArray buffer = ByteArray::FromText("ECHO padded\n");
  int32_t length = 12;
  EXPECT_EQ(-2, USB_Write(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(12, length);
  EXPECT_EQ(0, USB_Read_Interrogative(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(0, USB_Read_Formatted(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(before, name.RawBytes());
  EXPECT_TRUE(instrument->Commands().empty());
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(TransferTest, NameWithCharacterOutsideLatin1IsNotOpened) {
  auto instrument = AttachInstrument();
  // U+0130 cut to 8 bits would be '0' and name TAVRIN-0.
  EXPECT_EQ(-2, WriteText(u"TAVRIN-\u0130", "ECHO wide\n"));
  EXPECT_EQ(0, Read(USB_Read_Interrogative, u"TAVRIN-\u0130").result);
  EXPECT_TRUE(instrument->Commands().empty());
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(TransferTest, NullNameOrLengthOpensNothing) {
  auto instrument = AttachInstrument();
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO kept\n"));
  Text name(u"TAVRIN-0");
  for (TransferExport call : {USB_Write, USB_Read_Interrogative, USB_Read_Formatted}) {
    ByteArray buffer = ByteArray::FromText("ECHO null\n");
    int32_t length = 10;
    const int32_t expected = call == USB_Write ? -2 : 0;
    EXPECT_EQ(expected, call(nullptr, buffer.ptr(), &length));
    EXPECT_EQ(10, length);
    EXPECT_EQ(expected, call(name.ptr(), buffer.ptr(), nullptr));
    EXPECT_EQ(0u, km::OpenFileCount());
  }
  EXPECT_EQ(std::vector<std::string>{"ECHO kept"}, instrument->Commands());
  EXPECT_EQ("kept\n", Read(USB_Read_Interrogative, u"TAVRIN-0").text);
}

TEST_F(TransferTest, NullStringIsTheEmptyName) {
  AttachInstrument();
  Text name;  // a null BSTR
  ByteArray buffer = ByteArray::FromText("ECHO x\n");
  int32_t length = 7;
  EXPECT_EQ(-2, USB_Write(name.ptr(), buffer.ptr(), &length));
  EXPECT_EQ(nullptr, name.get());
  EXPECT_EQ(0u, km::OpenFileCount());
}

// The request code follows the direction of the channel's pipe, not the
// export: with the pipes in another order a write reads and a read writes.
TEST_F(TransferTest, RequestFollowsThePipeDirection) {
  auto device = std::make_shared<PipeLayoutDevice>(std::vector<std::uint8_t>{0x81, 0x01, 0x82});
  const host::DeviceId id = AttachModel(device);
  Text name(u"TAVRIN-0");

  // Nothing to read yet: the timed read code is given up on. (The untimed
  // write code would wait for data for ever; unplugging ends that wait.)
  {
    ByteArray command = ByteArray::FromText("ECHO x\n");
    int32_t length = 7;
    auto write = std::async(std::launch::async, [&] { return USB_Write(name.ptr(), command.ptr(), &length); });
    if (write.wait_for(kEventTimeout) != std::future_status::ready) {
      ADD_FAILURE() << "a write on an idle IN pipe did not end";
      host::Detach(id);
    }
    EXPECT_EQ(0, write.get());
    ASSERT_EQ(0u, km::OpenFileCount());
  }

  device->Queue(0x81, "abc");
  ByteArray command = ByteArray::FromText("ECHO x\n");
  int32_t length = 7;
  EXPECT_EQ(1, USB_Write(name.ptr(), command.ptr(), &length));
  EXPECT_EQ(3, length);
  EXPECT_EQ('a', command.At(0));
  EXPECT_EQ('c', command.At(2));
  EXPECT_EQ(' ', command.At(4));

  ByteArray reply = ByteArray::FromText("hello");
  length = 5;
  EXPECT_EQ(5, USB_Read_Interrogative(name.ptr(), reply.ptr(), &length));
  const std::vector<std::pair<std::uint8_t, std::string>> expected{{0x01, "hello"}};
  EXPECT_EQ(expected, device->Received());
  EXPECT_EQ(0u, km::OpenFileCount());
}

// Fourteen pipes make a record longer than the library's 356-byte buffer: the
// query fails and no transfer is made.
TEST_F(TransferTest, FailedRecordQueryGivesZeroAndClosesBothHandles) {
  std::vector<std::uint8_t> endpoints;
  for (std::uint8_t n = 1; n <= 7; ++n) {
    endpoints.push_back(n);
    endpoints.push_back(static_cast<std::uint8_t>(0x80 | n));
  }
  auto device = std::make_shared<PipeLayoutDevice>(endpoints);
  AttachModel(device);
  device->Queue(0x81, "unread");
  Text name(u"TAVRIN-0");
  for (TransferExport call : {USB_Write, USB_Read_Interrogative, USB_Read_Formatted}) {
    ByteArray buffer = ByteArray::FromText("ECHO x\n");
    int32_t length = 7;
    EXPECT_EQ(0, call(name.ptr(), buffer.ptr(), &length));
    EXPECT_EQ(7, length);
    EXPECT_EQ(0u, km::OpenFileCount());
  }
  EXPECT_TRUE(device->Received().empty());
}

// A pipe entry beyond the record's pipes reads as endpoint 0 from the zeroed
// buffer: the write code goes to the driver, which has no such pipe.
TEST_F(TransferTest, ChannelBeyondThePipesIsRefusedByTheDriver) {
  auto device = std::make_shared<PipeLayoutDevice>(std::vector<std::uint8_t>{0x01, 0x81});
  AttachModel(device);
  Text name(u"TAVRIN-0");
  ByteArray buffer = ByteArray::FromText("data");
  int32_t length = 4;
  EXPECT_EQ(0, USB_Read_Formatted(name.ptr(), buffer.ptr(), &length));
  EXPECT_TRUE(device->Received().empty());
  EXPECT_EQ(0u, km::OpenFileCount());
}

}  // namespace
}  // namespace librarytest
