// Bulk and interrupt transfers: one request is one transfer of at most 65535
// bytes, on a bulk or interrupt pipe named by its index, in the direction of
// its endpoint; short packets, timed reads, stalls, pipe reset and abort.
#include "driver_test_support.h"

#include <usbioctl.h>

#include <algorithm>
#include <atomic>

namespace drivertest {
namespace {

using TransfersTest = DriverTest;

Bytes Pattern(std::size_t length, std::uint8_t seed = 0) {
  Bytes bytes(length);
  for (std::size_t k = 0; k < length; ++k) bytes[k] = static_cast<std::uint8_t>(seed + k * 7 + k / 251);
  return bytes;
}

// A bulk or interrupt transfer on its way to the bus, as IoCallDriver sees it.
bool IsBulkTransfer(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
      location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return false;
  }
  auto *urb = static_cast<PURB>(location->Parameters.Others.Argument1);
  return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
}

TEST_F(TransfersTest, WriteSendsTheCallersBytesAsOneTransfer) {
  auto model = AttachStarted();
  Reply reply = Transfer(device.get(), IOCTL_INSTR_BULK_WRITE, 0, TextBytes("*IDN?\n"));
  ASSERT_TRUE(reply.ok) << "error " << reply.error;
  EXPECT_EQ(reply.information, 6u);

  // An index record longer than four bytes is read for its first four.
  Bytes longIndex = PipeIndex(0);
  longIndex.insert(longIndex.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  Reply second = CallWithOutput(device.get(), IOCTL_INSTR_BULK_WRITE, longIndex, TextBytes("ECHO 1\n"));
  ASSERT_TRUE(second.ok) << "error " << second.error;
  EXPECT_EQ(second.information, 7u);

  EXPECT_EQ(model->OutTransfers(kCommandEndpoint), (std::vector<Bytes>{TextBytes("*IDN?\n"), TextBytes("ECHO 1\n")}));
}

TEST_F(TransfersTest, TransferOf65535BytesGoesWholeAnd65536IsRefusedUnsent) {
  auto model = AttachStarted();
  const Bytes big = Pattern(65535);
  Reply write = Transfer(device.get(), IOCTL_INSTR_BULK_WRITE, 0, big);
  ASSERT_TRUE(write.ok) << "error " << write.error;
  EXPECT_EQ(write.information, 65535u);
  auto sent = model->OutTransfers(kCommandEndpoint);
  ASSERT_EQ(sent.size(), 1u) << "one request is one transfer";
  EXPECT_EQ(sent[0], big);

  TestDevice::Counts before = model->Calls();
  for (auto [code, pipe] : {std::pair{IOCTL_INSTR_BULK_WRITE, 0}, std::pair{IOCTL_INSTR_BULK_READ, 1},
                            std::pair{IOCTL_INSTR_BULK_READ_TIMED, 1}}) {
    Reply tooLong = Transfer(device.get(), code, pipe, Bytes(65536, 0));
    EXPECT_EQ(tooLong.status, STATUS_INVALID_PARAMETER) << std::hex << "code 0x" << code;
    EXPECT_EQ(tooLong.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(model->Calls().outTransfers, before.outTransfers);
  EXPECT_EQ(model->Calls().inPolls, before.inPolls);

  // 127 full packets and one of 511 bytes: 65535 read in one request.
  const Bytes answer = Pattern(65535, 3);
  for (std::size_t offset = 0; offset < answer.size(); offset += kBulkPacket) {
    std::size_t end = std::min(answer.size(), offset + kBulkPacket);
    model->QueuePacket(kReplyEndpoint, Bytes(answer.begin() + static_cast<std::ptrdiff_t>(offset),
                                             answer.begin() + static_cast<std::ptrdiff_t>(end)));
  }
  Reply read = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 1, Bytes(65535, 0));
  ASSERT_TRUE(read.ok) << "error " << read.error;
  EXPECT_EQ(read.information, 65535u);
  EXPECT_EQ(read.output, answer);
}

TEST_F(TransfersTest, ZeroLengthWriteIsSentAsAnEmptyTransfer) {
  auto model = AttachStarted();
  Reply reply = Transfer(device.get(), IOCTL_INSTR_BULK_WRITE, 0, {});
  ASSERT_TRUE(reply.ok) << "error " << reply.error;
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(model->OutTransfers(kCommandEndpoint), (std::vector<Bytes>{Bytes{}}));
}

TEST_F(TransfersTest, PipeIndexMustNameABulkOrInterruptPipeOfTheRecord) {
  auto model = AttachStarted(MixedPipeConfiguration());
  auto record = ReadRecord(device.get());
  ASSERT_TRUE(record.has_value());
  ASSERT_EQ(record->numberOfPipes, 5u);
  ASSERT_EQ(record->pipes.size(), 5u);
  EXPECT_EQ(record->pipes[2].pipeType, 3u) << "interrupt";
  EXPECT_EQ(record->pipes[3].pipeType, 1u) << "isochronous";
  EXPECT_EQ(record->pipes[4].pipeType, 0u) << "control";

  TestDevice::Counts before = model->Calls();
  for (DWORD code : {IOCTL_INSTR_BULK_READ, IOCTL_INSTR_BULK_WRITE, IOCTL_INSTR_BULK_READ_TIMED}) {
    for (std::int32_t pipe : {3, 4, 5, 6, -1}) {
      Reply reply = Transfer(device.get(), code, pipe, Bytes(16, 0));
      EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << std::hex << "code 0x" << code << std::dec << " pipe " << pipe;
      EXPECT_EQ(reply.information, 0u);
    }
  }
  EXPECT_EQ(model->Calls().outTransfers, before.outTransfers);
  EXPECT_EQ(model->Calls().inPolls, before.inPolls);

  model->QueuePacket(0x83, TextBytes("interrupt!"));
  Reply interrupt = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 2, Bytes(64, 0));
  ASSERT_TRUE(interrupt.ok) << "error " << interrupt.error;
  EXPECT_EQ(TextOf(interrupt.output, interrupt.information), "interrupt!");
}

TEST_F(TransfersTest, DirectionFollowsTheEndpointNotTheCodeButReadOnlyBuffersTakeNoData) {
  auto model = AttachStarted();
  model->QueuePacket(kReplyEndpoint, TextBytes("abc"));
  // The bulk write code locks the caller's buffer for reading only: an IN
  // pipe's data may not land in it, and nothing is asked of the device.
  const int pollsBefore = model->Polls(kReplyEndpoint);
  Reply writeOnIn = Transfer(device.get(), IOCTL_INSTR_BULK_WRITE, 1, Bytes(64, 0));
  EXPECT_EQ(writeOnIn.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(writeOnIn.output, Bytes(64, 0));
  EXPECT_EQ(model->Polls(kReplyEndpoint), pollsBefore);
  Reply readOnIn = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 1, Bytes(64, 0));
  ASSERT_TRUE(readOnIn.ok) << "error " << readOnIn.error;
  EXPECT_EQ(TextOf(readOnIn.output, readOnIn.information), "abc") << "the packet is still there";
  EXPECT_TRUE(model->OutTransfers(kCommandEndpoint).empty());

  Reply readOnOut = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 0, TextBytes("xyz"));
  ASSERT_TRUE(readOnOut.ok) << "error " << readOnOut.error;
  EXPECT_EQ(readOnOut.information, 3u);
  Reply timedOnOut = Transfer(device.get(), IOCTL_INSTR_BULK_READ_TIMED, 0, TextBytes("uvw"));
  ASSERT_TRUE(timedOnOut.ok) << "error " << timedOnOut.error;
  EXPECT_EQ(model->OutTransfers(kCommandEndpoint), (std::vector<Bytes>{TextBytes("xyz"), TextBytes("uvw")}));
}

TEST_F(TransfersTest, ShortPacketEndsAReadWithTheBytesSoFar) {
  auto model = AttachStarted();
  const Bytes full = Pattern(kBulkPacket, 1);
  const Bytes tail = Pattern(100, 2);
  model->QueuePacket(kReplyEndpoint, full);
  model->QueuePacket(kReplyEndpoint, tail);
  model->QueuePacket(kReplyEndpoint, Pattern(50, 3));

  Reply first = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 1, Bytes(4 * kBulkPacket, 0));
  ASSERT_TRUE(first.ok) << "error " << first.error;
  ASSERT_EQ(first.information, kBulkPacket + 100);
  Bytes expected = full;
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Bytes(first.output.begin(), first.output.begin() + static_cast<std::ptrdiff_t>(first.information)), expected);

  Reply second = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 1, Bytes(4 * kBulkPacket, 0));
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(second.information, 50u) << "the next packet starts the next read";
}

TEST_F(TransfersTest, TimedReadOfAnIdleInstrumentIsCancelledAndOneWithAnAnswerSucceeds) {
  host::DeviceId id = Attach(std::make_shared<usb::SubstituteInstrument>());
  ASSERT_TRUE(host::Started(id));
  Handle handle = Handle::Open(DevicePath(0));
  ASSERT_TRUE(handle.valid());

  for (std::int32_t pipe : {1, 2}) {
    Reply idle = Transfer(handle.get(), IOCTL_INSTR_BULK_READ_TIMED, pipe, Bytes(64, 0));
    EXPECT_FALSE(idle.ok) << "pipe " << pipe;
    EXPECT_EQ(idle.status, STATUS_CANCELLED) << "pipe " << pipe;
    EXPECT_EQ(idle.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED)) << "pipe " << pipe;
    EXPECT_EQ(idle.information, 0u);
  }
  EXPECT_EQ(LastUsbdStatus(handle.get()), static_cast<std::uint32_t>(USBD_STATUS_CANCELED));

  ASSERT_TRUE(Transfer(handle.get(), IOCTL_INSTR_BULK_WRITE, 0, TextBytes("ECHO hello\n")).ok);
  Reply echo = Transfer(handle.get(), IOCTL_INSTR_BULK_READ_TIMED, 1, Bytes(64, 0));
  ASSERT_TRUE(echo.ok) << "error " << echo.error;
  EXPECT_EQ(TextOf(echo.output, echo.information), "hello\n");

  ASSERT_TRUE(Transfer(handle.get(), IOCTL_INSTR_BULK_WRITE, 0, TextBytes("*IDN?\n")).ok);
  Reply identity = Transfer(handle.get(), IOCTL_INSTR_BULK_READ_TIMED, 1, Bytes(64, 0));
  ASSERT_TRUE(identity.ok) << "error " << identity.error;
  std::string text = TextOf(identity.output, identity.information);
  EXPECT_NE(text.find("TVR00000"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(TransfersTest, TimedReadKeepsWhatArrivedBeforeTheCancel) {
  auto model = AttachStarted();
  const Bytes packet = Pattern(kBulkPacket, 9);
  model->QueuePacket(kReplyEndpoint, packet);  // a full packet: the transfer waits for more
  Reply reply = Transfer(device.get(), IOCTL_INSTR_BULK_READ_TIMED, 1, Bytes(2 * kBulkPacket, 0));
  ASSERT_TRUE(reply.ok) << "status 0x" << std::hex << reply.status;
  ASSERT_EQ(reply.information, kBulkPacket);
  EXPECT_EQ(Bytes(reply.output.begin(), reply.output.begin() + kBulkPacket), packet);
}

TEST_F(TransfersTest, ReadWithoutTimeLimitWaitsUntilTheDeviceSends) {
  auto model = AttachStarted();
  std::future<Reply> read = StartTransfer(device.get(), IOCTL_INSTR_BULK_READ, 1, 64);
  ASSERT_TRUE(model->WaitForPolls(kReplyEndpoint, 1));
  model->QueuePacket(kReplyEndpoint, TextBytes("late"));
  Reply reply = Finish(read, deviceId);
  ASSERT_TRUE(reply.ok) << "error " << reply.error;
  EXPECT_EQ(TextOf(reply.output, reply.information), "late");
}

TEST_F(TransfersTest, StallFailsTheTransferAndStaysInTheLastUsbStatusUntilAnotherFailure) {
  auto model = AttachStarted();
  model->Halt(kCommandEndpoint);
  Reply write = Transfer(device.get(), IOCTL_INSTR_BULK_WRITE, 0, TextBytes("x\n"));
  EXPECT_FALSE(write.ok);
  EXPECT_EQ(write.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(write.information, 0u);
  EXPECT_EQ(LastUsbdStatus(device.get()), static_cast<std::uint32_t>(USBD_STATUS_STALL_PID));

  model->Halt(kReplyEndpoint);
  model->QueuePacket(kReplyEndpoint, TextBytes("held back"));
  Reply read = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 1, Bytes(64, 0));
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.status, STATUS_UNSUCCESSFUL);

  Reply reset = Call(device.get(), IOCTL_INSTR_RESET_PIPE, PipeIndex(1), 0);
  ASSERT_TRUE(reset.ok) << "error " << reset.error;
  EXPECT_EQ(reset.information, 0u);
  EXPECT_EQ(model->ResetPipes(), (std::vector<std::uint8_t>{kReplyEndpoint}));
  Reply again = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 1, Bytes(64, 0));
  ASSERT_TRUE(again.ok) << "error " << again.error;
  EXPECT_EQ(TextOf(again.output, again.information), "held back");
  EXPECT_EQ(LastUsbdStatus(device.get()), static_cast<std::uint32_t>(USBD_STATUS_STALL_PID))
      << "a success does not clear the last failure";
}

TEST_F(TransfersTest, PipeResetNeedsAnIndexOfTheRecord) {
  auto model = AttachStarted();
  for (std::int32_t pipe : {3, -1}) {
    Reply reply = Call(device.get(), IOCTL_INSTR_RESET_PIPE, PipeIndex(pipe), 0);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << "pipe " << pipe;
  }
  EXPECT_TRUE(model->ResetPipes().empty());
  ASSERT_TRUE(Call(device.get(), IOCTL_INSTR_RESET_PIPE, PipeIndex(0), 0).ok);
  EXPECT_EQ(model->ResetPipes(), (std::vector<std::uint8_t>{kCommandEndpoint}));
}

TEST_F(TransfersTest, PipeAbortEndsABlockedReadAndRefusesAnIndexOutsideTheRecord) {
  auto model = AttachStarted();
  std::future<Reply> read = StartTransfer(device.get(), IOCTL_INSTR_BULK_READ, 1, 64);
  ASSERT_TRUE(model->WaitForPolls(kReplyEndpoint, 1));

  Handle other = Handle::Open(DevicePath(0));
  ASSERT_TRUE(other.valid());
  Reply abort = Call(other.get(), IOCTL_INSTR_ABORT_PIPE, PipeIndex(1), 0);
  EXPECT_TRUE(abort.ok) << "error " << abort.error;
  EXPECT_EQ(abort.information, 0u);
  Reply ended = Finish(read, deviceId);
  EXPECT_FALSE(ended.ok);
  EXPECT_EQ(ended.status, STATUS_CANCELLED);
  EXPECT_EQ(ended.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  for (std::int32_t pipe : {-1, 3, 100}) {
    Reply refused = Call(other.get(), IOCTL_INSTR_ABORT_PIPE, PipeIndex(pipe), 0);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER) << "pipe " << pipe;
  }
  EXPECT_TRUE(Call(other.get(), IOCTL_INSTR_ABORT_PIPE, PipeIndex(2), 0).ok) << "nothing to abort is still a success";

  // The pipe stays usable.
  model->QueuePacket(kReplyEndpoint, TextBytes("after"));
  Reply next = Transfer(device.get(), IOCTL_INSTR_BULK_READ, 1, Bytes(64, 0));
  ASSERT_TRUE(next.ok);
  EXPECT_EQ(TextOf(next.output, next.information), "after");
}

// A program that closes its handle while another of its threads is blocked
// in a read on it: the handle's cleanup ends that read, and the file object
// outlives the request. Another handle's read on the same pipe is not
// touched: it gets the next answer.
TEST_F(TransfersTest, ClosingAHandleEndsTheReadBlockedOnItOnly) {
  auto model = AttachStarted();
  Handle other = Handle::Open(DevicePath(0));
  std::future<Reply> theirs = StartTransfer(other.get(), IOCTL_INSTR_BULK_READ, 1, 64);
  ASSERT_TRUE(model->WaitForPolls(kReplyEndpoint, 1)) << "the other handle's read waits at the bus";
  std::promise<void> sent;
  km::SetCallDriverHook([&](PDEVICE_OBJECT, PIRP irp) {
    if (IsBulkTransfer(irp)) sent.set_value();
  });
  std::future<Reply> mine = StartTransfer(device.get(), IOCTL_INSTR_BULK_READ, 1, 64);
  ASSERT_EQ(sent.get_future().wait_for(kEventTimeout), std::future_status::ready);
  km::SetCallDriverHook({});
  device.Close();
  Reply ended = Finish(mine, deviceId);
  EXPECT_EQ(ended.status, STATUS_CANCELLED);
  model->QueuePacket(kReplyEndpoint, TextBytes("theirs"));
  Reply served = Finish(theirs, deviceId);
  EXPECT_TRUE(served.ok) << "status 0x" << std::hex << served.status;
  EXPECT_EQ(TextOf(served.output, served.information), "theirs");
}

// A close that comes while a read is on its way to the bus (listed under its
// handle, not yet at the bus) still ends it: the bus finds it cancelled.
TEST_F(TransfersTest, CloseWhileAReadIsOnItsWayToTheBusEndsTheRead) {
  auto model = AttachStarted();
  std::atomic<bool> closed{false};
  km::SetCallDriverHook([&](PDEVICE_OBJECT, PIRP irp) {
    if (IsBulkTransfer(irp) && !closed.exchange(true)) device.Close();
  });
  std::future<Reply> read = StartTransfer(device.get(), IOCTL_INSTR_BULK_READ, 1, 64);
  Reply ended = Finish(read, deviceId);
  km::SetCallDriverHook({});
  EXPECT_TRUE(closed);
  EXPECT_EQ(ended.status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace drivertest
