// What the console's tests share: a message box that records instead of
// waiting, a main window in throw-away directories with its ticks left to the
// test, the scripted library, and substitute instruments on the embedded host.
#pragma once

#include "file_dialog.h"
#include "frm_main.h"
#include "message_box.h"
#include "settings_store.h"
#include "test_driver_state.h"

#include <host/host.h>
#include <substitute_instrument.h>

#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// Each test file runs its test objects with these arguments and returns the
// number of failures.
int Run_Common_Tests(int argc, char **argv);
int Run_Settings_Store_Tests(int argc, char **argv);
int Run_Startup_Tests(int argc, char **argv);
int Run_Device_Console_Tests(int argc, char **argv);
int Run_Command_History_Tests(int argc, char **argv);
int Run_Layout_Tests(int argc, char **argv);
int Run_Screenshot_Tests(int argc, char **argv);
int Run_Download_Tests(int argc, char **argv);
int Run_Views_Tests(int argc, char **argv);

class Recording_Message_Box final : public Message_Box {
 public:
  void Show(QWidget *, const QString &text) override { Messages.append(text); }
  QStringList Messages;
};

// A file-open dialog answered by the test: each display takes the next
// answer (a path is chosen; an empty text cancels; kFails makes the dialog
// fail) and records what it was shown with.
class Scripted_File_Dialog final : public File_Dialog {
 public:
  static inline const QString kFails = QStringLiteral("<fails>");
  struct Display {
    QString Title, Filter, File_Name;
  };
  bool ShowOpen(QWidget *) override;
  bool ShowSave(QWidget *parent) override { return ShowOpen(parent); }
  QStringList Answers;
  std::vector<Display> Displays;
};

// The bridge pointed at the real library (the default) or at the scripted one.
void Use_Real_Library();
// Points the bridge at the scripted library and returns its state, emptied.
Test_Driver_State &Use_Test_Driver();
// The path of a file beside the test program.
QString Beside_Program(const char *file);

// A main window whose settings store and history file live in a throw-away
// directory, whose messages are recorded, whose file dialog is scripted,
// whose status window's timers tick at shortened intervals (1 ms and 5 ms)
// and whose Timer1 ticks only when the test calls Timer1_Timer. Several windows in turn share the same store,
// as successive runs of the program do.
class Console {
 public:
  Console();
  ~Console();

  // A new window (the previous one is closed), loaded unless asked not to;
  // the application-wide state starts as at program start.
  Frm_Main &Start(bool load = true);
  // Start with Timer1's ticks wired to the tick handler, as in the program.
  Frm_Main &Start_With_Timer();
  // Start, show, and wait until the window is on the screen.
  Frm_Main &Start_Shown();
  Frm_Main &Form() { return *form_; }

  QString Directory() const { return directory_.path(); }
  QString History_File() const;
  Settings_Store &Settings() { return *settings_; }
  // The raw value in the store, without the store's case matching.
  QString Stored(const QString &path) const;
  // Where the window keeps its history file (empty: the throw-away directory).
  void Set_Program_Directory(const QString &directory) { program_directory_ = directory; }
  // The user's data directory (a throw-away one unless set).
  void Set_User_Data_Directory(const QString &directory) { user_data_directory_ = directory; }
  QString User_Data_Directory() const;

  Recording_Message_Box Messages;
  Scripted_File_Dialog Dialog;
  std::vector<int> Ended_Codes;  // what Program_Ended reported, in order

 private:
  QTemporaryDir directory_;
  QString program_directory_;
  QString user_data_directory_;
  std::unique_ptr<Settings_Store> settings_;
  std::unique_ptr<Frm_Main> form_;
  bool ticks_by_caller_ = true;
};

// Substitute instruments plugged into the embedded host for one test, pulled
// out again when it ends.
class Instruments {
 public:
  explicit Instruments(int count);
  ~Instruments();
  Instruments(const Instruments &) = delete;
  Instruments &operator=(const Instruments &) = delete;

  usb::SubstituteInstrument &operator[](std::size_t i) { return *models_.at(i); }
  // Pulls the cable of instrument i.
  void Unplug(std::size_t i);

 private:
  std::vector<std::shared_ptr<usb::SubstituteInstrument>> models_;
  std::vector<host::DeviceId> ids_;
  std::vector<bool> plugged_;
};

// Text of a list widget's rows, top to bottom.
class QListWidget;
QStringList Rows(const QListWidget *list);
// A text file's bytes.
QByteArray File_Bytes(const QString &path);
// Writes `bytes` to `path`; false when that failed.
bool Save_File(const QString &path, const QByteArray &bytes);
