// A driver for tests: each major function is served by a handler the test
// installs, so that one test can play a bus driver that pends requests and
// another a function driver with completion routines.
#pragma once

#include <km/standin.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kmtest {

class TestDriver {
 public:
  using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

  explicit TestDriver(std::u16string name = u"\\Driver\\Test");
  ~TestDriver();
  TestDriver(const TestDriver &) = delete;
  TestDriver &operator=(const TestDriver &) = delete;

  // Serves `major` with `handler`; without one a request is completed with
  // STATUS_SUCCESS and no bytes.
  void Handle(UCHAR major, Handler handler) { handlers_[major] = std::move(handler); }

  // Creates a started device, optionally named and stacked on `lower`; the
  // device is deleted (and detached) when the driver object goes.
  PDEVICE_OBJECT AddDevice(const char16_t *name = nullptr, PDEVICE_OBJECT lower = nullptr,
                           ULONG extensionSize = 0);
  void DeleteDevice(PDEVICE_OBJECT device);

  PDRIVER_OBJECT object() const { return object_; }

 private:
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

  PDRIVER_OBJECT object_ = nullptr;
  std::map<UCHAR, Handler> handlers_;
  std::vector<PDEVICE_OBJECT> devices_;
};

// Completes a request with a status and byte count.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// A counted string over a literal.
UNICODE_STRING Name(const char16_t *text);

}  // namespace kmtest
