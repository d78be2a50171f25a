#include "libusb_context.h"

namespace usb::libusb {

std::shared_ptr<LibusbContext> LibusbContext::Create(std::string *problem) {
  libusb_context *context = nullptr;
  int result = libusb_init(&context);
  if (result != LIBUSB_SUCCESS) {
    if (problem != nullptr) *problem = "libusb cannot start: " + ErrorText(result);
    return nullptr;
  }
  return std::shared_ptr<LibusbContext>(new LibusbContext(context));
}

LibusbContext::LibusbContext(libusb_context *context) : context_(context) {
  thread_ = std::thread([this] { Run(); });
}

LibusbContext::~LibusbContext() {
  stopping_ = true;
  libusb_interrupt_event_handler(context_);
  thread_.join();
  libusb_exit(context_);
}

void LibusbContext::Run() {
  while (!stopping_) {
    timeval wait{1, 0};
    libusb_handle_events_timeout_completed(context_, &wait, nullptr);
  }
}

std::string ErrorText(int error) {
  return std::string(libusb_error_name(error)) + " (" + libusb_strerror(error) + ")";
}

}  // namespace usb::libusb
