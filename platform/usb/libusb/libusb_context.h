// One libusb context with the one thread that handles its events: every
// transfer's completion and every hot-plug notice runs there. Devices opened
// in the context keep it (and its thread) alive.
#pragma once

#include <libusb.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace usb::libusb {

class LibusbContext {
 public:
  // Nullptr, with the reason in `problem`, when libusb cannot start.
  static std::shared_ptr<LibusbContext> Create(std::string *problem);
  ~LibusbContext();

  LibusbContext(const LibusbContext &) = delete;
  LibusbContext &operator=(const LibusbContext &) = delete;

  libusb_context *Get() const { return context_; }
  // True in the event thread, where nothing may wait for another transfer.
  bool InEventThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  explicit LibusbContext(libusb_context *context);
  void Run();

  libusb_context *context_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// libusb's name for an error code, for messages.
std::string ErrorText(int error);

}  // namespace usb::libusb
