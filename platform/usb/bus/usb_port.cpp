// A port's request handling: dispatching URBs, bulk, interrupt and
// isochronous transfers, waiting IN transfers with their cancellation, pipe
// abort and reset, and the device leaving the bus.
#include "usb_port.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace usb::bus {
namespace {

URB *UrbOf(PIRP irp) {
  return static_cast<URB *>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

VOID CancelWaitingTransfer(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PortOf(pdo)->CancelWaiting(irp);
}

// The smallest URB each function needs; a shorter header Length is refused.
std::size_t MinimumLength(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return offsetof(_URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE:
      return offsetof(_URB_SELECT_INTERFACE, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return offsetof(_URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE) + sizeof(ULONG);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      return sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER:
      return offsetof(_URB_ISOCH_TRANSFER, IsoPacket);
    case URB_FUNCTION_CONTROL_TRANSFER:
      return sizeof(_URB_CONTROL_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    default:
      return sizeof(_URB_HEADER);
  }
}

}  // namespace

NTSTATUS StatusFor(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

USBD_STATUS UsbdFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok:
      return USBD_STATUS_SUCCESS;
    case Outcome::Stall:
      return USBD_STATUS_STALL_PID;
    case Outcome::Babble:
      return USBD_STATUS_BABBLE_DETECTED;
    case Outcome::TimedOut:
      return USBD_STATUS_TIMEOUT;
    case Outcome::Gone:
      return USBD_STATUS_DEVICE_GONE;
    case Outcome::Cancelled:
      return USBD_STATUS_CANCELED;
    default:
      return USBD_STATUS_DEV_NOT_RESPONDING;
  }
}

void *DataOf(PVOID buffer, PMDL mdl) {
  return mdl != nullptr ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : buffer;
}

UsbPort::UsbPort(PortOwner &owner, std::shared_ptr<DeviceModel> model, PDEVICE_OBJECT pdo)
    : owner_(owner), model_(std::move(model)), pdo_(pdo) {}

UsbPort::~UsbPort() = default;

void UsbPort::Connect() {
  std::lock_guard guard(lock_);
  model_->Attached(this);
  connected_ = true;
}

bool UsbPort::Present() {
  std::lock_guard guard(lock_);
  return present_;
}

// ---- What the model asks --------------------------------------------------

void UsbPort::DataReady(std::uint8_t endpoint) {
  owner_.Worker().Post([weak = weak_from_this(), endpoint] {
    if (auto self = weak.lock()) self->Retry(endpoint);
  });
}

void UsbPort::Detach() {
  owner_.Worker().Post([self = shared_from_this()] {
    self->Disconnect();
    self->owner_.PortLeft(*self, std::chrono::milliseconds::zero(), false);
  });
}

void UsbPort::Reattach(std::chrono::milliseconds delay) {
  owner_.Worker().Post([self = shared_from_this(), delay] {
    self->Disconnect();
    self->owner_.PortLeft(*self, delay, true);
  });
}

void UsbPort::After(std::chrono::milliseconds delay, std::function<void()> work) {
  owner_.Worker().Schedule(delay, [weak = weak_from_this(), work = std::move(work)] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard guard(self->lock_);
    if (self->present_) work();
  });
}

// ---- Requests --------------------------------------------------------------

NTSTATUS UsbPort::Submit(PIRP irp, URB *urb) {
  Completions done;
  NTSTATUS status;
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard guard(lock_);
    if (!present_) {
      status = StatusFor(USBD_STATUS_DEVICE_GONE);
      done.push_back({irp, USBD_STATUS_DEVICE_GONE, status});
    } else if (urb->UrbHeader.Length < MinimumLength(urb->UrbHeader.Function)) {
      status = StatusFor(USBD_STATUS_INVALID_PARAMETER);
      done.push_back({irp, USBD_STATUS_INVALID_PARAMETER, status});
    } else {
      status = Dispatch(irp, urb, done);
    }
  }
  Complete(done);
  return status;
}

NTSTATUS UsbPort::Dispatch(PIRP irp, URB *urb, Completions &done) {
  USBD_STATUS usbd;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return BulkOrInterrupt(irp, urb, done);
    case URB_FUNCTION_ISOCH_TRANSFER:
      return Isochronous(irp, urb, done);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      usbd = GetDescriptor(urb);
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      usbd = SelectConfiguration(urb);
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      usbd = SelectInterface(urb);
      break;
    case URB_FUNCTION_ABORT_PIPE:
      usbd = AbortPipe(urb, done);
      break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      usbd = ResetPipe(urb);
      break;
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      urb->UrbGetCurrentFrameNumber.FrameNumber = owner_.CurrentFrame();
      usbd = USBD_STATUS_SUCCESS;
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      usbd = VendorOrClass(urb);
      break;
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      usbd = Feature(urb);
      break;
    case URB_FUNCTION_CONTROL_TRANSFER:
      usbd = ControlTransfer(urb);
      break;
    default:
      usbd = USBD_STATUS_INVALID_URB_FUNCTION;
      break;
  }
  NTSTATUS status = StatusFor(usbd);
  done.push_back({irp, usbd, status});
  return status;
}

UsbPort::Pipe *UsbPort::FindPipe(USBD_PIPE_HANDLE handle) {
  for (auto &[endpoint, pipe] : pipes_) {
    if (pipe->handle == handle) return pipe.get();
  }
  return nullptr;
}

bool UsbPort::Wait(Pipe &pipe, PIRP irp, Completions &done) {
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelWaitingTransfer);
  if (std::atomic_ref<BOOLEAN>(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    done.push_back({irp, USBD_STATUS_CANCELED, STATUS_CANCELLED});
    return false;
  }
  pipe.waiting.push_back(irp);
  return true;
}

NTSTATUS UsbPort::BulkOrInterrupt(PIRP irp, URB *urb, Completions &done) {
  auto &transfer = urb->UrbBulkOrInterruptTransfer;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  Pipe *pipe = FindPipe(transfer.PipeHandle);
  void *data = DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
  if (pipe == nullptr) {
    usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
  } else if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) {
    usbd = USBD_STATUS_INVALID_PARAMETER;
  } else if (data == nullptr && transfer.TransferBufferLength != 0) {
    usbd = USBD_STATUS_INVALID_PARAMETER;
  } else if (model_->Transfers() != nullptr) {
    return HandOver(irp, urb, *pipe, done);
  } else if ((pipe->endpoint & 0x80) == 0) {
    // The direction is the endpoint's, whatever the flags say.
    usbd = UsbdFor(model_->Out(pipe->endpoint,
                               {static_cast<const std::uint8_t *>(data), transfer.TransferBufferLength}));
    if (usbd != USBD_STATUS_SUCCESS) transfer.TransferBufferLength = 0;
  } else {
    WaitingTransfer::SetBytesSoFar(irp, 0);
    if (!pipe->waiting.empty() || !FillIn(*pipe, irp, usbd)) {
      if (Wait(*pipe, irp, done)) return STATUS_PENDING;
      transfer.TransferBufferLength = WaitingTransfer::BytesSoFar(irp);
      return STATUS_PENDING;
    }
    transfer.TransferBufferLength = WaitingTransfer::BytesSoFar(irp);
  }
  if (usbd != USBD_STATUS_SUCCESS && pipe != nullptr && (pipe->endpoint & 0x80) != 0) transfer.TransferBufferLength = 0;
  NTSTATUS status = StatusFor(usbd);
  done.push_back({irp, usbd, status});
  return status;
}

bool UsbPort::FillIn(Pipe &pipe, PIRP irp, USBD_STATUS &failure) {
  auto &transfer = UrbOf(irp)->UrbBulkOrInterruptTransfer;
  auto *data = static_cast<std::uint8_t *>(DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL));
  ULONG total = transfer.TransferBufferLength;
  ULONG got = WaitingTransfer::BytesSoFar(irp);
  if (total == 0) return true;
  // Records progress however the loop ends.
  struct Progress {
    PIRP irp;
    ULONG &got;
    ~Progress() { WaitingTransfer::SetBytesSoFar(irp, got); }
  } progress{irp, got};
  while (got < total) {
    if (model_->Halted(pipe.endpoint)) {
      failure = USBD_STATUS_STALL_PID;
      return true;
    }
    std::size_t room = std::min<std::size_t>(pipe.maxPacket, total - got);
    std::optional<Bytes> packet = model_->In(pipe.endpoint, room);
    if (!packet) return false;
    if (packet->size() > room) {  // a device that sends more than asked
      failure = USBD_STATUS_BABBLE_DETECTED;
      return true;
    }
    // A zero-length packet has no bytes to copy (and no buffer to copy from).
    if (!packet->empty()) std::memcpy(data + got, packet->data(), packet->size());
    got += static_cast<ULONG>(packet->size());
    if (packet->size() < pipe.maxPacket) return true;  // a short packet ends the transfer
  }
  return true;
}

void UsbPort::Retry(std::uint8_t endpoint) {
  Completions done;
  {
    std::lock_guard guard(lock_);
    auto it = pipes_.find(endpoint);
    if (!present_ || it == pipes_.end()) return;
    Pipe &pipe = *it->second;
    while (!pipe.waiting.empty()) {
      PIRP irp = pipe.waiting.front();
      USBD_STATUS usbd = USBD_STATUS_SUCCESS;
      if (!FillIn(pipe, irp, usbd)) break;
      // When the cancel routine already runs, it finishes the request with
      // the bytes received so far.
      if (IoSetCancelRoutine(irp, nullptr) == nullptr) break;
      pipe.waiting.pop_front();
      UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength =
          usbd == USBD_STATUS_SUCCESS ? WaitingTransfer::BytesSoFar(irp) : 0;
      done.push_back({irp, usbd, StatusFor(usbd)});
    }
  }
  Complete(done);
}

void UsbPort::CancelWaiting(PIRP irp) {
  if (CancelHanded(irp)) return;
  Completions done;
  std::uint8_t retry = 0;
  bool again = false;
  {
    std::lock_guard guard(lock_);
    auto orphan = std::find(cancelling_.begin(), cancelling_.end(), irp);
    if (orphan != cancelling_.end()) {
      cancelling_.erase(orphan);
      done.push_back({irp, USBD_STATUS_CANCELED, STATUS_CANCELLED});
    }
    for (auto &[endpoint, pipe] : pipes_) {
      if (!done.empty()) break;
      auto it = std::find(pipe->waiting.begin(), pipe->waiting.end(), irp);
      if (it == pipe->waiting.end()) continue;
      pipe->waiting.erase(it);
      if (pipe->type != UsbdPipeTypeIsochronous) {
        UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = WaitingTransfer::BytesSoFar(irp);
      }
      done.push_back({irp, USBD_STATUS_CANCELED, STATUS_CANCELLED});
      again = !pipe->waiting.empty();
      retry = endpoint;
      break;
    }
  }
  Complete(done);
  if (again) DataReady(retry);
}

void UsbPort::ReleaseWaiting(Pipe &pipe, USBD_STATUS usbd, NTSTATUS status, Completions &done) {
  ReleaseHanded(pipe.endpoint, usbd, status, done);
  for (PIRP irp : pipe.waiting) {
    if (pipe.type != UsbdPipeTypeIsochronous) {
      UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = WaitingTransfer::BytesSoFar(irp);
    }
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      cancelling_.push_back(irp);  // its cancel routine will finish it
      continue;
    }
    done.push_back({irp, usbd, status});
  }
  pipe.waiting.clear();
  for (PIRP irp : pipe.scheduled) {
    auto &transfer = UrbOf(irp)->UrbIsochronousTransfer;
    for (ULONG k = 0; k < transfer.NumberOfPackets; ++k) transfer.IsoPacket[k].Status = usbd;
    transfer.ErrorCount = transfer.NumberOfPackets;
    done.push_back({irp, usbd, status});
  }
  pipe.scheduled.clear();
}

void UsbPort::ReleaseAll(USBD_STATUS usbd, NTSTATUS status, Completions &done) {
  for (auto &[endpoint, pipe] : pipes_) ReleaseWaiting(*pipe, usbd, status, done);
}

USBD_STATUS UsbPort::AbortPipe(URB *urb, Completions &done) {
  Pipe *pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
  ReleaseWaiting(*pipe, USBD_STATUS_CANCELED, STATUS_CANCELLED, done);
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbPort::ResetPipe(URB *urb) {
  Pipe *pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
  model_->ResetPipe(pipe->endpoint);
  return USBD_STATUS_SUCCESS;
}

NTSTATUS UsbPort::ResetPort(PIRP irp) {
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard guard(lock_);
    if (present_) {
      model_->ResetPort();
    } else {
      status = STATUS_DEVICE_NOT_CONNECTED;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void UsbPort::Disconnect() {
  Completions done;
  {
    std::lock_guard guard(lock_);
    if (!present_) return;
    present_ = false;
    ReleaseAll(USBD_STATUS_DEVICE_GONE, StatusFor(USBD_STATUS_DEVICE_GONE), done);
    if (connected_) model_->Detached();
    connected_ = false;
  }
  Complete(done);
}

// ---- Isochronous -------------------------------------------------------------

NTSTATUS UsbPort::Isochronous(PIRP irp, URB *urb, Completions &done) {
  auto &transfer = urb->UrbIsochronousTransfer;
  Pipe *pipe = FindPipe(transfer.PipeHandle);
  void *data = DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
  ULONG packets = transfer.NumberOfPackets;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  if (pipe == nullptr) {
    usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
  } else if (pipe->type != UsbdPipeTypeIsochronous || packets == 0 ||
             urb->UrbHeader.Length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) +
                                         std::size_t{packets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR) ||
             (data == nullptr && transfer.TransferBufferLength != 0)) {
    usbd = USBD_STATUS_INVALID_PARAMETER;
  } else {
    // Packet k runs from its offset to the next packet's (the last to the end).
    for (ULONG k = 0; k < packets && usbd == USBD_STATUS_SUCCESS; ++k) {
      ULONG end = k + 1 < packets ? transfer.IsoPacket[k + 1].Offset : transfer.TransferBufferLength;
      if (transfer.IsoPacket[k].Offset > end || end > transfer.TransferBufferLength) {
        usbd = USBD_STATUS_INVALID_PARAMETER;
      }
    }
  }
  if (usbd != USBD_STATUS_SUCCESS) {
    NTSTATUS status = StatusFor(usbd);
    done.push_back({irp, usbd, status});
    return status;
  }
  if (model_->Transfers() != nullptr) return HandOver(irp, urb, *pipe, done);
  if (Wait(*pipe, irp, done)) {
    std::uint8_t endpoint = pipe->endpoint;
    owner_.Worker().Post([weak = weak_from_this(), endpoint] {
      if (auto self = weak.lock()) self->RunIsochronous(endpoint);
    });
  }
  return STATUS_PENDING;
}

void UsbPort::RunIsochronous(std::uint8_t endpoint) {
  // High speed: eight packets per 1 ms frame, one per microframe.
  constexpr ULONG kPacketsPerFrame = 8;
  PIRP irp = nullptr;
  std::uint32_t lastFrame = 0;
  {
    std::lock_guard guard(lock_);
    auto it = pipes_.find(endpoint);
    if (!present_ || it == pipes_.end() || it->second->waiting.empty()) return;
    Pipe &pipe = *it->second;
    irp = pipe.waiting.front();
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;  // being cancelled
    pipe.waiting.pop_front();

    auto &transfer = UrbOf(irp)->UrbIsochronousTransfer;
    auto *data = static_cast<std::uint8_t *>(DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL));
    std::uint32_t now = owner_.CurrentFrame();
    std::uint32_t start = transfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP
                              ? std::max(pipe.nextIsoFrame, now + 1)
                              : transfer.StartFrame;
    ULONG packets = transfer.NumberOfPackets;
    bool in = (endpoint & 0x80) != 0;
    for (ULONG k = 0; k < packets; ++k) {
      USBD_ISO_PACKET_DESCRIPTOR &descriptor = transfer.IsoPacket[k];
      ULONG end = k + 1 < packets ? transfer.IsoPacket[k + 1].Offset : transfer.TransferBufferLength;
      std::size_t room = std::min<std::size_t>(end - descriptor.Offset, pipe.maxPacket);
      std::uint32_t frame = start + k / kPacketsPerFrame;
      if (in) {
        std::size_t length = model_->IsoIn(endpoint, frame, {data + descriptor.Offset, room});
        descriptor.Length = static_cast<ULONG>(std::min(length, room));
      } else {
        model_->IsoOut(endpoint, frame, {data + descriptor.Offset, room});
        descriptor.Length = 0;
      }
      descriptor.Status = USBD_STATUS_SUCCESS;
    }
    transfer.StartFrame = start;
    transfer.ErrorCount = 0;
    lastFrame = start + (packets + kPacketsPerFrame - 1) / kPacketsPerFrame;
    pipe.nextIsoFrame = lastFrame;
    pipe.scheduled.push_back(irp);
    if (!pipe.waiting.empty()) {
      owner_.Worker().Post([weak = weak_from_this(), endpoint] {
        if (auto self = weak.lock()) self->RunIsochronous(endpoint);
      });
    }
  }
  // The transfer ends when the bus clock has passed its last frame; going
  // through the queue even when that time has come keeps transfers finishing
  // in frame order.
  std::uint32_t now = owner_.CurrentFrame();
  auto finish = [self = shared_from_this(), endpoint, irp] { self->FinishIsochronous(endpoint, irp); };
  owner_.Worker().Schedule(std::chrono::milliseconds(lastFrame > now ? lastFrame - now : 0), finish);
}

void UsbPort::FinishIsochronous(std::uint8_t endpoint, PIRP irp) {
  {
    std::lock_guard guard(lock_);
    auto it = pipes_.find(endpoint);
    if (it == pipes_.end()) return;  // failed when its pipe went
    std::vector<PIRP> &scheduled = it->second->scheduled;
    auto found = std::find(scheduled.begin(), scheduled.end(), irp);
    if (found == scheduled.end()) return;  // failed already (unplug, abort)
    scheduled.erase(found);
  }
  Complete({{irp, USBD_STATUS_SUCCESS, STATUS_SUCCESS}});
}

// ---- Completion --------------------------------------------------------------

void UsbPort::Complete(const Completions &done) {
  for (const Completion &c : done) {
    UrbOf(c.irp)->UrbHeader.Status = c.usbd;
    c.irp->IoStatus.Status = c.status;
    c.irp->IoStatus.Information = 0;
    // Completion runs at DISPATCH_LEVEL, as it would in the controller's DPC.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(c.irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
  }
}

}  // namespace usb::bus
