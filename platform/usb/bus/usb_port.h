// One attached device: its model, its configuration and pipes, and the
// transfers waiting on its IN pipes. The PDO's extension points here.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usb/device_model.h>

#include <platform/work_queue.h>

#include <deque>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <vector>

namespace usb::bus {

class UsbPort;

// What a port needs from the bus driver that owns it.
class PortOwner {
 public:
  virtual ~PortOwner() = default;
  virtual platform::WorkQueue &Worker() = 0;
  virtual std::uint32_t CurrentFrame() const = 0;
  virtual void PortLeft(UsbPort &port, std::chrono::milliseconds returnAfter, bool returns) = 0;
};

class UsbPort final : public BusPort, public std::enable_shared_from_this<UsbPort> {
 public:
  UsbPort(PortOwner &owner, std::shared_ptr<DeviceModel> model, PDEVICE_OBJECT pdo);
  ~UsbPort() override;

  void Connect();  // tells the model it is attached

  // BusPort: what the model may ask.
  void DataReady(std::uint8_t endpoint) override;
  void Detach() override;
  void Reattach(std::chrono::milliseconds delay) override;
  void After(std::chrono::milliseconds delay, std::function<void()> work) override;
  std::uint32_t FrameNumber() const override { return owner_.CurrentFrame(); }
  std::chrono::nanoseconds Now() const override { return std::chrono::nanoseconds(km::ClockNanoseconds()); }

  // Serves IOCTL_INTERNAL_USB_SUBMIT_URB; completes the request or pends it.
  NTSTATUS Submit(PIRP irp, URB *urb);
  // Serves IOCTL_INTERNAL_USB_RESET_PORT.
  NTSTATUS ResetPort(PIRP irp);
  // The device leaves: waiting transfers fail with USBD_STATUS_DEVICE_GONE.
  void Disconnect();
  bool Present();

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  const std::shared_ptr<DeviceModel> &Model() const { return model_; }

  // Called by the cancel routine of a waiting transfer.
  void CancelWaiting(PIRP irp);

 private:
  struct Pipe {
    std::uint8_t endpoint;
    USBD_PIPE_TYPE type;
    std::uint16_t maxPacket;  // bytes per packet (multiplier applied for isochronous)
    std::uint8_t interval;
    std::uint8_t interfaceNumber;
    std::deque<PIRP> waiting;  // IN transfers in arrival order
    // Isochronous transfers whose packets have been moved and that end when
    // the bus clock passes their last frame; failed at once on unplug.
    std::vector<PIRP> scheduled;
    std::uint32_t nextIsoFrame = 0;
    USBD_PIPE_HANDLE handle = nullptr;  // never reused, so a stale handle matches nothing
  };

  struct Completion {
    PIRP irp;
    USBD_STATUS usbd;
    NTSTATUS status;
  };
  using Completions = std::vector<Completion>;

  // Each returns the request's status; completions go to `done`, completed
  // after the lock is released.
  NTSTATUS Dispatch(PIRP irp, URB *urb, Completions &done);
  USBD_STATUS GetDescriptor(URB *urb);
  USBD_STATUS SelectConfiguration(URB *urb);
  USBD_STATUS SelectInterface(URB *urb);
  USBD_STATUS FillInterface(USBD_INTERFACE_INFORMATION *info, std::size_t room);
  USBD_STATUS ControlRequest(const SetupPacket &setup, PVOID buffer, PMDL mdl, ULONG &length);
  USBD_STATUS VendorOrClass(URB *urb);
  USBD_STATUS Feature(URB *urb);
  USBD_STATUS ControlTransfer(URB *urb);
  NTSTATUS BulkOrInterrupt(PIRP irp, URB *urb, Completions &done);
  NTSTATUS Isochronous(PIRP irp, URB *urb, Completions &done);
  USBD_STATUS AbortPipe(URB *urb, Completions &done);
  USBD_STATUS ResetPipe(URB *urb);
  // Queues a request on a pipe with a cancel routine; false when it was
  // cancelled already (it is then in `done`).
  bool Wait(Pipe &pipe, PIRP irp, Completions &done);

  Pipe *FindPipe(USBD_PIPE_HANDLE handle);
  void ReleaseWaiting(Pipe &pipe, USBD_STATUS usbd, NTSTATUS status, Completions &done);
  void ReleaseAll(USBD_STATUS usbd, NTSTATUS status, Completions &done);
  // Pulls packets from the model into a waiting IN transfer; true when the
  // transfer is finished (full, short packet, or an error in `failure`).
  bool FillIn(Pipe &pipe, PIRP irp, USBD_STATUS &failure);
  void Retry(std::uint8_t endpoint);
  void RunIsochronous(std::uint8_t endpoint);
  // Ends a scheduled isochronous transfer at its last frame, unless it was
  // failed before.
  void FinishIsochronous(std::uint8_t endpoint, PIRP irp);
  void Complete(const Completions &done);

  // Transfers handed whole to a model with its own TransferQueue (a real
  // device); handed_transfers.cpp.
  struct Handed {
    PIRP irp;
    std::uint8_t endpoint;
    std::uint32_t startFrame;
    bool cancelSeen = false;              // its cancel routine ran and left the ending to the model
    std::optional<Completion> finished;   // ended while its cancel routine was about to run
    std::optional<USBD_STATUS> cancelledAs;  // taken back because the device left
  };
  NTSTATUS HandOver(PIRP irp, URB *urb, Pipe &pipe, Completions &done);
  void HandedBack(TransferQueue::Id id, TransferResult result);
  // From the cancel routine: false when `irp` is not a handed transfer.
  bool CancelHanded(PIRP irp);
  // Asks the device for them back (abort, new selection, device gone).
  void ReleaseHanded(std::uint8_t endpoint, USBD_STATUS usbd, NTSTATUS status, Completions &done);

  bool Configured() const { return configurationValue_ != 0; }

  PortOwner &owner_;
  std::shared_ptr<DeviceModel> model_;
  PDEVICE_OBJECT pdo_;
  std::mutex lock_;  // the one-call-at-a-time rule for the model
  bool present_ = true;
  bool connected_ = false;
  std::uint8_t configurationValue_ = 0;
  Bytes configuration_;  // the device's configuration descriptor set
  std::map<std::uint8_t, std::unique_ptr<Pipe>> pipes_;  // by endpoint address
  std::uintptr_t configurationHandle_ = 0;
  std::uintptr_t nextPipeHandle_ = 0x200000;
  // Requests taken off their pipe while their cancel routine was already
  // running: the cancel routine finds and finishes them here.
  std::vector<PIRP> cancelling_;
  std::map<TransferQueue::Id, Handed> handed_;
  TransferQueue::Id nextHanded_ = 1;
};

// The port behind a PDO of the bus driver.
std::shared_ptr<UsbPort> PortOf(PDEVICE_OBJECT pdo);

// Data of a waiting transfer, kept in the request's driver context while the
// bus owns it.
struct WaitingTransfer {
  static ULONG BytesSoFar(PIRP irp) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]));
  }
  static void SetBytesSoFar(PIRP irp, ULONG bytes) {
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(bytes));
  }
};

}  // namespace usb::bus
