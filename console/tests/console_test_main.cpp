// The console's tests: every test object in turn, in one process (the
// embedded system boots once). Instruments are only those the tests attach.
#include "test_support.h"

#include <QApplication>

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  host::SetSimulatedInstruments(0);
  QApplication application(argc, argv);
  // Windows the tests close must not end the application.
  QApplication::setQuitOnLastWindowClosed(false);

  int failures = 0;
  failures += Run_Common_Tests(argc, argv);
  failures += Run_Settings_Store_Tests(argc, argv);
  failures += Run_Startup_Tests(argc, argv);
  failures += Run_Device_Console_Tests(argc, argv);
  failures += Run_Command_History_Tests(argc, argv);
  failures += Run_Layout_Tests(argc, argv);
  failures += Run_Download_Tests(argc, argv);
  failures += Run_Views_Tests(argc, argv);
  failures += Run_Screenshot_Tests(argc, argv);
  return failures == 0 ? 0 : 1;
}
