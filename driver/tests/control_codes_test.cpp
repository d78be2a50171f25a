// The device-control codes other than the data transfers: the driver's
// version, the no-ops, frame number and last USB status, descriptors, vendor
// and class requests, set-feature, port reset; unknown codes; records that
// are too short; and what each code reports when its request block cannot
// be allocated.
#include "driver_test_support.h"

#include <cstring>

namespace drivertest {
namespace {

using ControlCodesTest = DriverTest;

constexpr DWORD Code(DWORD deviceType, DWORD access, DWORD function, DWORD method) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

std::uint32_t U32(const Bytes &bytes) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data(), 4);
  return value;
}

VendorDeviceRequest Vendor(std::uint16_t length, bool in, std::uint8_t data = 0) {
  VendorDeviceRequest request{};
  request.Request = 0x42;
  request.Value = 0x1234;
  request.Index = 0x5678;
  request.Length = length;
  request.DirectionIn = in ? 1 : 0;
  request.Data = data;
  return request;
}

ControlRequest Control(bool in, std::uint8_t type, std::uint8_t recipient) {
  ControlRequest request{};
  request.DirectionIn = in ? 1 : 0;
  request.RequestType = type;
  request.Recipient = recipient;
  request.Request = 0x21;
  request.Value = 0xBEEF;
  request.Index = 0x0102;
  return request;
}

StringDescriptorRequest String(std::uint8_t index) {
  StringDescriptorRequest request{};
  request.Index = index;
  request.LanguageId = 0x0409;
  return request;
}

// Every call the device model counts, for "nothing reached the device".
bool SameCalls(const TestDevice::Counts &a, const TestDevice::Counts &b) {
  return a.deviceDescriptorReads == b.deviceDescriptorReads && a.configurationReads == b.configurationReads &&
         a.stringReads == b.stringReads && a.controlRequests == b.controlRequests &&
         a.outTransfers == b.outTransfers && a.inPolls == b.inPolls && a.pipeResets == b.pipeResets &&
         a.portResets == b.portResets && a.setInterfaces == b.setInterfaces;
}

TEST_F(ControlCodesTest, DriverVersionIsOneTwoZeroAndNeedsSixBytes) {
  AttachStarted();
  for (DWORD length : {6u, 16u}) {
    Reply reply = Call(device.get(), IOCTL_INSTR_GET_DRIVER_VERSION, {}, length);
    ASSERT_TRUE(reply.ok) << "output " << length;
    EXPECT_EQ(reply.information, 6u);
    EXPECT_EQ(Bytes(reply.output.begin(), reply.output.begin() + 6), (Bytes{0x01, 0x00, 0x02, 0x00, 0x00, 0x00}));
  }
  Reply shortOutput = Call(device.get(), IOCTL_INSTR_GET_DRIVER_VERSION, {}, 5);
  EXPECT_FALSE(shortOutput.ok);
  EXPECT_EQ(shortOutput.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(shortOutput.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(shortOutput.information, 0u);
}

TEST_F(ControlCodesTest, NoOperationsSucceedWithNoBytesAndReachNothing) {
  auto model = AttachStarted();
  TestDevice::Counts before = model->Calls();
  Reply buffered = Call(device.get(), IOCTL_INSTR_NOP, Bytes(4, 1), 4);
  EXPECT_TRUE(buffered.ok);
  EXPECT_EQ(buffered.information, 0u);
  Reply direct = Call(device.get(), IOCTL_INSTR_NOP_DIRECT, Bytes(4, 1), 8, 0x77);
  EXPECT_TRUE(direct.ok);
  EXPECT_EQ(direct.information, 0u);
  EXPECT_EQ(direct.output, Bytes(8, 0x77)) << "the caller's buffer is not touched";
  EXPECT_TRUE(SameCalls(model->Calls(), before));
}

TEST_F(ControlCodesTest, UnknownCodesAndUsedFunctionsWithAnotherMethodTypeOrAccessAreRefused) {
  auto model = AttachStarted();
  TestDevice::Counts before = model->Calls();

  std::vector<DWORD> codes = {0x22200C, 0x222050, 0x220000};
  for (DWORD function : {0x803u, 0x804u, 0x807u, 0x808u, 0x809u, 0x80Au, 0x80Bu, 0x80Eu, 0x812u, 0x818u, 0x81Bu,
                         0x81Cu, 0x824u, 0xFFFu}) {
    for (DWORD method = 0; method < 4; ++method) codes.push_back(Code(0x22, 0, function, method));
  }
  const std::map<DWORD, DWORD> used = {
      {0x800, 0}, {0x801, 0}, {0x802, 0}, {0x805, 0}, {0x806, 0}, {0x80C, 1}, {0x80D, 1}, {0x80F, 1},
      {0x810, 0}, {0x811, 0}, {0x813, 2}, {0x814, 1}, {0x815, 0}, {0x816, 1}, {0x817, 0}, {0x819, 2},
      {0x81A, 1}, {0x81D, 0}, {0x81E, 0}, {0x81F, 0}, {0x820, 2}, {0x821, 0}, {0x822, 2}, {0x823, 2},
  };
  for (auto [function, method] : used) {
    for (DWORD other = 0; other < 4; ++other) {
      if (other != method) codes.push_back(Code(0x22, 0, function, other));
    }
    codes.push_back(Code(0x23, 0, function, method));
    codes.push_back(Code(0x12, 0, function, method));
    for (DWORD access = 1; access < 4; ++access) codes.push_back(Code(0x22, access, function, method));
  }

  for (DWORD code : codes) {
    Reply reply = Call(device.get(), code, PipeIndex(0), 16);
    EXPECT_FALSE(reply.ok) << std::hex << "code 0x" << code;
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << std::hex << "code 0x" << code;
    EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << std::hex << "code 0x" << code;
    EXPECT_EQ(reply.information, 0u) << std::hex << "code 0x" << code;
  }
  EXPECT_TRUE(SameCalls(model->Calls(), before)) << "an unknown code reached the device";
}

TEST_F(ControlCodesTest, FrameNumberNeedsFourBytesWhereLastUsbdStatusFailsOtherwise) {
  AttachStarted();
  Reply frame = Call(device.get(), IOCTL_INSTR_GET_FRAME_NUMBER, {}, 4);
  ASSERT_TRUE(frame.ok) << "error " << frame.error;
  EXPECT_EQ(frame.information, 4u);
  EXPECT_NE(U32(frame.output), 0u);
  Reply later = Call(device.get(), IOCTL_INSTR_GET_FRAME_NUMBER, {}, 8);
  ASSERT_TRUE(later.ok);
  EXPECT_EQ(later.information, 4u);
  EXPECT_GE(U32(later.output), U32(frame.output)) << "the bus's frame counter does not run backwards";

  Reply shortFrame = Call(device.get(), IOCTL_INSTR_GET_FRAME_NUMBER, {}, 3);
  EXPECT_EQ(shortFrame.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(shortFrame.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  Reply status = Call(device.get(), IOCTL_INSTR_GET_LAST_USBD_STATUS, {}, 4, 0xEE);
  ASSERT_TRUE(status.ok);
  EXPECT_EQ(status.information, 4u);
  EXPECT_EQ(U32(status.output), 0u) << "no request has failed yet";
  Reply shortStatus = Call(device.get(), IOCTL_INSTR_GET_LAST_USBD_STATUS, {}, 3);
  EXPECT_EQ(shortStatus.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(shortStatus.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(ControlCodesTest, DeviceDescriptorIsItsEighteenBytesAndAShorterOutputIsRefused) {
  auto model = AttachStarted();
  for (DWORD length : {18u, 64u}) {
    Reply reply = Call(device.get(), IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, {}, length);
    ASSERT_TRUE(reply.ok) << "output " << length;
    EXPECT_EQ(reply.information, 18u);
    EXPECT_EQ(Bytes(reply.output.begin(), reply.output.begin() + 18), TestDevice::DefaultDeviceDescriptor());
  }
  int reads = model->Calls().deviceDescriptorReads;
  Reply shortOutput = Call(device.get(), IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, {}, 17);
  EXPECT_EQ(shortOutput.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(shortOutput.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(shortOutput.information, 0u);
  EXPECT_EQ(model->Calls().deviceDescriptorReads, reads) << "nothing is sent for a refused request";
}

TEST_F(ControlCodesTest, ConfigurationDescriptorIsReadUpToTheOutputLength) {
  AttachStarted();
  const Bytes configuration = ThreeChannelConfiguration();
  Reply head = Call(device.get(), IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, {}, 9);
  ASSERT_TRUE(head.ok);
  EXPECT_EQ(head.information, 9u);
  EXPECT_EQ(head.output, Bytes(configuration.begin(), configuration.begin() + 9));

  Reply whole = Call(device.get(), IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, {}, 1024);
  ASSERT_TRUE(whole.ok);
  ASSERT_EQ(whole.information, configuration.size());
  EXPECT_EQ(Bytes(whole.output.begin(), whole.output.begin() + static_cast<std::ptrdiff_t>(configuration.size())),
            configuration);

  Reply none = Call(device.get(), IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, {}, 0);
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.information, 0u);
}

TEST_F(ControlCodesTest, StringDescriptorsNeedAnOutputAndAStringTheDeviceHas) {
  auto model = AttachStarted();
  const Bytes probe = {12, 3, 'P', 0, 'r', 0, 'o', 0, 'b', 0, 'e', 0};
  Reply product = Call(device.get(), IOCTL_INSTR_GET_STRING_DESCRIPTOR, AsBytes(String(1)), 255);
  ASSERT_TRUE(product.ok) << "error " << product.error;
  ASSERT_EQ(product.information, probe.size());
  EXPECT_EQ(Bytes(product.output.begin(), product.output.begin() + 12), probe);

  Reply languages = Call(device.get(), IOCTL_INSTR_GET_STRING_DESCRIPTOR, AsBytes(String(0)), 255);
  ASSERT_TRUE(languages.ok);
  EXPECT_EQ(languages.information, 4u);

  Reply cut = Call(device.get(), IOCTL_INSTR_GET_STRING_DESCRIPTOR, AsBytes(String(1)), 2);
  ASSERT_TRUE(cut.ok);
  EXPECT_EQ(cut.information, 2u);
  EXPECT_EQ(cut.output, (Bytes{12, 3}));

  int reads = model->Calls().stringReads;
  Reply noOutput = Call(device.get(), IOCTL_INSTR_GET_STRING_DESCRIPTOR, AsBytes(String(1)), 0);
  EXPECT_EQ(noOutput.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noOutput.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(model->Calls().stringReads, reads);

  Reply missing = Call(device.get(), IOCTL_INSTR_GET_STRING_DESCRIPTOR, AsBytes(String(9)), 255);
  EXPECT_EQ(missing.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(missing.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(missing.information, 0u);
}

TEST_F(ControlCodesTest, DeviceToHostVendorRequestReturnsTheDataOverItsRecord) {
  auto model = AttachStarted();
  Reply reply = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(8, true)), 10);
  ASSERT_TRUE(reply.ok) << "error " << reply.error;
  EXPECT_EQ(reply.information, 8u);
  EXPECT_EQ(Bytes(reply.output.begin(), reply.output.begin() + 8),
            (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
  auto sent = model->ControlRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].setup.requestType, 0xC0) << "device-to-host, vendor, device";
  EXPECT_EQ(sent[0].setup.request, 0x42);
  EXPECT_EQ(sent[0].setup.value, 0x1234);
  EXPECT_EQ(sent[0].setup.index, 0x5678);
  EXPECT_EQ(sent[0].setup.length, 8);

  // A device that answers fewer bytes than asked.
  model->SetControlAnswerLength(3);
  Reply fewer = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(8, true)), 16);
  ASSERT_TRUE(fewer.ok);
  EXPECT_EQ(fewer.information, 3u);

  // An output shorter than the data stage: refused, nothing sent.
  Reply tooSmall = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(12, true)), 11);
  EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(tooSmall.information, 0u);
  EXPECT_EQ(model->ControlRequests().size(), 2u);
}

// A device-to-host vendor request that never reached a device keeps its
// success but reports no bytes: the output holds no device data.
TEST_F(ControlCodesTest, DeviceToHostVendorRequestThatReachedNoDeviceReportsNoBytes) {
  auto model = AttachStarted();
  host::Detach(deviceId);  // pulled with the handle open
  Reply pulled = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(8, true)), 10);
  EXPECT_TRUE(pulled.ok);
  EXPECT_EQ(pulled.information, 0u) << "the instrument is gone";
  EXPECT_TRUE(model->ControlRequests().empty());
}

TEST_F(ControlCodesTest, HostToDeviceVendorRequestSendsTheDataByteOrACountingPattern) {
  auto model = AttachStarted();
  Reply four = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(4, false, 0x5A)), 0);
  ASSERT_TRUE(four.ok) << "error " << four.error;
  EXPECT_EQ(four.information, 0u);
  Reply one = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(1, false, 0x5A)), 0);
  ASSERT_TRUE(one.ok);
  Reply long_ = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(300, false)), 0);
  ASSERT_TRUE(long_.ok);
  Reply none = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(0, false, 0x5A)), 0);
  ASSERT_TRUE(none.ok);

  auto sent = model->ControlRequests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].setup.requestType, 0x40) << "host-to-device, vendor, device";
  EXPECT_EQ(sent[0].setup.request, 0x42);
  EXPECT_EQ(sent[0].setup.value, 0x1234);
  EXPECT_EQ(sent[0].setup.index, 0x5678);
  EXPECT_EQ(sent[0].payload, (Bytes{0x00, 0x01, 0x02, 0x03}));
  EXPECT_EQ(sent[1].payload, (Bytes{0x5A}));
  ASSERT_EQ(sent[2].payload.size(), 300u);
  for (std::size_t k = 0; k < 300; ++k) ASSERT_EQ(sent[2].payload[k], static_cast<std::uint8_t>(k)) << "byte " << k;
  EXPECT_EQ(sent[3].setup.length, 0);
  EXPECT_TRUE(sent[3].payload.empty());
}

TEST_F(ControlCodesTest, VendorRequestTheDeviceStallsSucceedsWithNoBytesAndLeavesTheUsbStatus) {
  auto model = AttachStarted();
  model->StallRequests({0x42});
  Reply reply = Call(device.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(8, true)), 10);
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(LastUsbdStatus(device.get()), static_cast<std::uint32_t>(USBD_STATUS_STALL_PID));
}

TEST_F(ControlCodesTest, ClassAndVendorRequestsGoToTheRecipientTheirKeyNames) {
  auto model = AttachStarted();
  struct Case {
    std::uint8_t type, recipient, setupType;
  };
  const Case cases[] = {
      {1, 0, 0x20}, {1, 1, 0x21}, {1, 2, 0x22}, {1, 3, 0x23},  // class device, interface, endpoint, other
      {2, 0, 0x40}, {2, 1, 0x41}, {2, 2, 0x42}, {2, 3, 0x43},  // vendor ...
  };
  for (const Case &c : cases) {
    std::size_t before = model->ControlRequests().size();
    Reply reply = CallWithOutput(device.get(), IOCTL_INSTR_CONTROL_REQUEST, AsBytes(Control(false, c.type, c.recipient)),
                                 {9, 8, 7});
    ASSERT_TRUE(reply.ok) << "type " << int(c.type) << " recipient " << int(c.recipient) << ": error " << reply.error;
    EXPECT_EQ(reply.information, 3u);
    auto sent = model->ControlRequests();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back().setup.requestType, c.setupType) << "type " << int(c.type) << " recipient " << int(c.recipient);
    EXPECT_EQ(sent.back().setup.request, 0x21);
    EXPECT_EQ(sent.back().setup.value, 0xBEEF);
    EXPECT_EQ(sent.back().setup.index, 0x0102);
    EXPECT_EQ(sent.back().setup.length, 3);
    EXPECT_EQ(sent.back().payload, (Bytes{9, 8, 7})) << "the data stage is the caller's buffer";
  }

  // The code locks the caller's buffer for reading only: a device-to-host
  // data stage may not land in it, and nothing reaches the device.
  std::size_t before = model->ControlRequests().size();
  Reply in = Call(device.get(), IOCTL_INSTR_CONTROL_REQUEST, AsBytes(Control(true, 2, 0)), 4);
  EXPECT_EQ(in.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(in.output, Bytes(4, 0xCC));
  EXPECT_EQ(model->ControlRequests().size(), before);
}

TEST_F(ControlCodesTest, ClassOrVendorRequestWithAnotherTypeOrRecordLengthIsRefused) {
  auto model = AttachStarted();
  for (std::uint8_t recipient = 0; recipient < 4; ++recipient) {
    for (std::uint8_t type : {0, 3}) {
      Reply reply = Call(device.get(), IOCTL_INSTR_CONTROL_REQUEST, AsBytes(Control(false, type, recipient)), 4);
      EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << "type " << int(type) << " recipient " << int(recipient);
      EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
  Bytes record = AsBytes(Control(true, 2, 0));
  Bytes longer = record;
  longer.push_back(0);
  for (const Bytes &input : {Bytes(record.begin(), record.end() - 1), longer}) {
    Reply reply = Call(device.get(), IOCTL_INSTR_CONTROL_REQUEST, input, 4);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << "input " << input.size();
  }
  EXPECT_TRUE(model->ControlRequests().empty());
}

TEST_F(ControlCodesTest, ClassOrVendorRequestTheDeviceStallsReportsTheBusStatus) {
  auto model = AttachStarted();
  model->StallRequests({0x21});
  Reply reply = Call(device.get(), IOCTL_INSTR_CONTROL_REQUEST, AsBytes(Control(false, 2, 0)), 4);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(LastUsbdStatus(device.get()), static_cast<std::uint32_t>(USBD_STATUS_STALL_PID));
}

TEST_F(ControlCodesTest, SetFeatureReportsWhatTheDeviceAnswered) {
  auto model = AttachStarted();
  FeatureRequest feature{};
  feature.FeatureSelector = 1;  // DEVICE_REMOTE_WAKEUP
  feature.Index = 0;
  Reply accepted = Call(device.get(), IOCTL_INSTR_SET_FEATURE, AsBytes(feature), 0);
  EXPECT_TRUE(accepted.ok) << "status " << std::hex << accepted.status;
  EXPECT_EQ(accepted.information, 0u);
  auto sent = model->ControlRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].setup.requestType, 0x00) << "host-to-device, standard, device";
  EXPECT_EQ(sent[0].setup.request, 3) << "SET_FEATURE";
  EXPECT_EQ(sent[0].setup.value, 1);
  EXPECT_EQ(sent[0].setup.index, 0);

  model->StallRequests({3});
  Reply refused = Call(device.get(), IOCTL_INSTR_SET_FEATURE, AsBytes(feature), 0);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastUsbdStatus(device.get()), static_cast<std::uint32_t>(USBD_STATUS_STALL_PID));
}

TEST_F(ControlCodesTest, PortResetSucceedsWithNoBytes) {
  auto model = AttachStarted();
  Reply reply = Call(device.get(), IOCTL_INSTR_RESET_PORT, {}, 0);
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(model->Calls().portResets, 1);
}

// Each code's input record must be there whole (exactly, for the codes whose
// length is fixed); a shorter one is refused before anything is sent.
TEST_F(ControlCodesTest, ShortInputRecordsAreRefusedBeforeAnythingIsSent) {
  auto model = AttachStarted();
  struct Case {
    const char *name;
    DWORD code;
    std::size_t input;
    DWORD output;
  };
  const Case cases[] = {
      {"bulk read", IOCTL_INSTR_BULK_READ, 3, 16},
      {"bulk read", IOCTL_INSTR_BULK_READ, 0, 16},
      {"bulk write", IOCTL_INSTR_BULK_WRITE, 3, 16},
      {"timed read", IOCTL_INSTR_BULK_READ_TIMED, 3, 16},
      {"reset pipe", IOCTL_INSTR_RESET_PIPE, 3, 0},
      {"abort pipe", IOCTL_INSTR_ABORT_PIPE, 3, 0},
      {"abort pipe", IOCTL_INSTR_ABORT_PIPE, 0, 0},
      {"vendor device request", IOCTL_INSTR_VENDOR_DEVICE_REQUEST, 9, 16},
      {"select interface", IOCTL_INSTR_SELECT_INTERFACE, 1, 0},
      {"string descriptor", IOCTL_INSTR_GET_STRING_DESCRIPTOR, 3, 64},
      {"control request", IOCTL_INSTR_CONTROL_REQUEST, 9, 4},
      {"set feature", IOCTL_INSTR_SET_FEATURE, 3, 0},
      {"set feature", IOCTL_INSTR_SET_FEATURE, 5, 0},
  };
  TestDevice::Counts before = model->Calls();
  for (const Case &c : cases) {
    // Valid-looking leading bytes: pipe 1, string 1, an IN request...
    Bytes input(c.input, 0x01);
    Reply reply = Call(device.get(), c.code, input, c.output);
    EXPECT_FALSE(reply.ok) << c.name << " with " << c.input << " input bytes";
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << c.name << " with " << c.input << " input bytes";
    EXPECT_EQ(reply.information, 0u) << c.name;
  }
  EXPECT_TRUE(SameCalls(model->Calls(), before)) << "a refused request reached the device";
  EXPECT_TRUE(model->ControlRequests().empty());
}

// The first pool allocation each of these codes makes is its request block;
// when that fails every code reports the same status and sends nothing, but
// the pipe abort, which succeeds whatever became of the abort.
TEST_F(ControlCodesTest, EveryCodeReportsInsufficientResourcesWhenItsRequestBlockCannotBeAllocated) {
  auto model = AttachStarted();
  struct Case {
    const char *name;
    DWORD code;
    Bytes input;
    DWORD output;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    DWORD error = ERROR_NO_SYSTEM_RESOURCES;
  };
  const Case cases[] = {
      {"bulk write", IOCTL_INSTR_BULK_WRITE, PipeIndex(0), 8},
      {"bulk read", IOCTL_INSTR_BULK_READ, PipeIndex(1), 8},
      {"timed read", IOCTL_INSTR_BULK_READ_TIMED, PipeIndex(1), 8},
      {"control request", IOCTL_INSTR_CONTROL_REQUEST, AsBytes(Control(false, 2, 0)), 4},
      {"reset pipe", IOCTL_INSTR_RESET_PIPE, PipeIndex(1), 0},
      {"abort pipe", IOCTL_INSTR_ABORT_PIPE, PipeIndex(1), 0, STATUS_SUCCESS, 0},
      {"frame number", IOCTL_INSTR_GET_FRAME_NUMBER, {}, 4},
      {"device descriptor", IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, {}, 18},
      {"configuration descriptor", IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, {}, 64},
      {"string descriptor", IOCTL_INSTR_GET_STRING_DESCRIPTOR, AsBytes(String(1)), 64},
      {"vendor device request", IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(Vendor(4, true)), 10},
  };
  TestDevice::Counts before = model->Calls();
  for (const Case &c : cases) {
    km::FailNthAllocation(1);
    Reply reply = Call(device.get(), c.code, c.input, c.output);
    km::ClearAllocationFailures();
    EXPECT_EQ(reply.status, c.status) << c.name << ": 0x" << std::hex << reply.status;
    EXPECT_EQ(reply.error, c.error) << c.name;
    EXPECT_EQ(reply.information, 0u) << c.name;
  }
  EXPECT_TRUE(SameCalls(model->Calls(), before)) << "a request went out without its block";
  EXPECT_EQ(ReadRecordBytes(device.get()).information, 96u) << "the device is still configured";
}

}  // namespace
}  // namespace drivertest
