// Transfers of a device that moves whole transfers itself (a real device
// behind libusb): the bus hands each bulk, interrupt or isochronous URB over
// as one Transfer, keeps its request pending with a cancel routine, and
// completes it when the device hands the result back.
//
// Who completes a request: the result's arrival, unless the request's cancel
// routine has already been called; then whichever of the two comes second.
// The cancel routine only asks the device for the transfer back, so that the
// bytes moved before the cancel still reach the caller.
#include "usb_port.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace usb::bus {

NTSTATUS StatusFor(USBD_STATUS usbd);
USBD_STATUS UsbdFor(Outcome outcome);
void *DataOf(PVOID buffer, PMDL mdl);

namespace {

URB *UrbOf(PIRP irp) {
  return static_cast<URB *>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

VOID CancelHandedTransfer(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PortOf(pdo)->CancelWaiting(irp);
}

Transfer TransferOf(URB *urb, std::uint8_t endpoint, USBD_PIPE_TYPE type) {
  Transfer transfer;
  transfer.endpoint = endpoint;
  transfer.type = static_cast<EndpointType>(type);
  bool in = (endpoint & 0x80) != 0;
  if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
    auto &iso = urb->UrbIsochronousTransfer;
    auto *data = static_cast<std::uint8_t *>(DataOf(iso.TransferBuffer, iso.TransferBufferMDL));
    transfer.data.assign(iso.TransferBufferLength, 0);
    if (!in && iso.TransferBufferLength != 0) std::memcpy(transfer.data.data(), data, iso.TransferBufferLength);
    for (ULONG k = 0; k < iso.NumberOfPackets; ++k) {
      ULONG end = k + 1 < iso.NumberOfPackets ? iso.IsoPacket[k + 1].Offset : iso.TransferBufferLength;
      transfer.packets.push_back({iso.IsoPacket[k].Offset, end - iso.IsoPacket[k].Offset, 0, Outcome::Ok});
    }
  } else {
    auto &bulk = urb->UrbBulkOrInterruptTransfer;
    auto *data = static_cast<std::uint8_t *>(DataOf(bulk.TransferBuffer, bulk.TransferBufferMDL));
    transfer.data.assign(bulk.TransferBufferLength, 0);
    if (!in && bulk.TransferBufferLength != 0) std::memcpy(transfer.data.data(), data, bulk.TransferBufferLength);
  }
  return transfer;
}

// Writes the device's result into the request block.
void FillUrb(URB *urb, bool in, std::uint32_t startFrame, const TransferResult &result) {
  if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
    auto &iso = urb->UrbIsochronousTransfer;
    auto *data = static_cast<std::uint8_t *>(DataOf(iso.TransferBuffer, iso.TransferBufferMDL));
    iso.StartFrame = startFrame;
    iso.ErrorCount = 0;
    for (ULONG k = 0; k < iso.NumberOfPackets; ++k) {
      USBD_ISO_PACKET_DESCRIPTOR &descriptor = iso.IsoPacket[k];
      const IsoPacket *packet = k < result.packets.size() ? &result.packets[k] : nullptr;
      ULONG end = k + 1 < iso.NumberOfPackets ? iso.IsoPacket[k + 1].Offset : iso.TransferBufferLength;
      std::uint32_t actual = packet != nullptr ? std::min<std::uint32_t>(packet->actual, end - descriptor.Offset) : 0;
      if (in && actual != 0 && descriptor.Offset + std::size_t{actual} <= result.data.size()) {
        std::memcpy(data + descriptor.Offset, result.data.data() + descriptor.Offset, actual);
      }
      descriptor.Length = in ? actual : 0;
      descriptor.Status = UsbdFor(packet != nullptr ? packet->outcome : result.outcome);
      if (descriptor.Status != USBD_STATUS_SUCCESS) ++iso.ErrorCount;
    }
    return;
  }
  auto &bulk = urb->UrbBulkOrInterruptTransfer;
  bool kept = result.outcome == Outcome::Ok || result.outcome == Outcome::Cancelled;
  ULONG bytes = kept ? static_cast<ULONG>(std::min<std::size_t>(result.bytes, bulk.TransferBufferLength)) : 0;
  if (in && bytes != 0) {
    std::memcpy(DataOf(bulk.TransferBuffer, bulk.TransferBufferMDL), result.data.data(),
                std::min<std::size_t>(bytes, result.data.size()));
  }
  bulk.TransferBufferLength = bytes;
}

}  // namespace

NTSTATUS UsbPort::HandOver(PIRP irp, URB *urb, Pipe &pipe, Completions &done) {
  TransferQueue *queue = model_->Transfers();
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelHandedTransfer);
  if (std::atomic_ref<BOOLEAN>(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    done.push_back({irp, USBD_STATUS_CANCELED, STATUS_CANCELLED});
    return STATUS_PENDING;
  }
  TransferQueue::Id id = nextHanded_++;
  // The device keeps no frame counter the host can read; the transfer starts
  // as soon as it can, which on the bus's clock is the next frame.
  handed_[id] = Handed{irp, pipe.endpoint, owner_.CurrentFrame() + 1, false, std::nullopt, std::nullopt};
  queue->Submit(id, TransferOf(urb, pipe.endpoint, pipe.type), [weak = weak_from_this(), id](TransferResult result) {
    // Never completed in the device's thread: that thread may be the one
    // that finishes every other transfer too.
    auto self = weak.lock();
    if (!self) return;
    self->owner_.Worker().Post([weak, id, result = std::move(result)]() mutable {
      if (auto port = weak.lock()) port->HandedBack(id, std::move(result));
    });
  });
  return STATUS_PENDING;
}

void UsbPort::HandedBack(TransferQueue::Id id, TransferResult result) {
  Completions done;
  {
    std::lock_guard guard(lock_);
    auto it = handed_.find(id);
    if (it == handed_.end()) return;  // failed already when the device left
    Handed &handed = it->second;
    FillUrb(UrbOf(handed.irp), (handed.endpoint & 0x80) != 0, handed.startFrame, result);
    USBD_STATUS usbd = UsbdFor(result.outcome);
    if (result.outcome == Outcome::Cancelled && handed.cancelledAs) usbd = *handed.cancelledAs;
    Completion completion{handed.irp, usbd, StatusFor(usbd)};
    if (IoSetCancelRoutine(handed.irp, nullptr) != nullptr || handed.cancelSeen) {
      done.push_back(completion);
      handed_.erase(it);
    } else {
      handed.finished = completion;  // its cancel routine is about to run and completes it
    }
  }
  Complete(done);
}

bool UsbPort::CancelHanded(PIRP irp) {
  Completions done;
  std::optional<TransferQueue::Id> cancel;
  {
    std::lock_guard guard(lock_);
    auto it = std::find_if(handed_.begin(), handed_.end(), [irp](const auto &entry) { return entry.second.irp == irp; });
    if (it == handed_.end()) return false;
    if (it->second.finished) {
      done.push_back(*it->second.finished);
      handed_.erase(it);
    } else {
      it->second.cancelSeen = true;
      cancel = it->first;
    }
  }
  Complete(done);
  if (cancel) model_->Transfers()->Cancel(*cancel);
  return true;
}

void UsbPort::ReleaseHanded(std::uint8_t endpoint, USBD_STATUS usbd, NTSTATUS, Completions &) {
  TransferQueue *queue = model_->Transfers();
  if (queue == nullptr) return;
  // Each transfer is asked back and completes when the device hands it over:
  // one that finished just before the device left (an answer sent before a
  // reboot) still brings its data. One taken back without a result of its
  // own ends with the reason it was released for.
  for (auto &[id, handed] : handed_) {
    if (handed.endpoint != endpoint) continue;
    if (usbd != USBD_STATUS_CANCELED) handed.cancelledAs = usbd;
    queue->Cancel(id);
  }
}

}  // namespace usb::bus
