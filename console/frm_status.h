// frm_Status, the small modal window that carries out a firmware download:
// it sends the command line, waits for the instrument's acknowledgement,
// streams the file in 1024-byte writes with a progress bar, waits for the
// final answer, shows "Complete" for two seconds and closes itself; or shows
// "Error : " and the reason and waits for its OK button. With verification
// on (the main window's "Verify downloads", off at first) it first asks the
// instrument for the image it now holds ("FW?") and compares its size and
// CRC-32 with the file's: "Complete — verified", "Complete" when the
// instrument does not answer the question, or an error for a mismatch. The exchange's rules are
// Download_Exchange's; the window keeps the timers and the wait machine.
//
// The Cancel button shows while the image is being sent: it stops sending
// and says that the instrument now holds a partial image.
//
// One window object serves every download of a program run. Loading it (the
// first Set_File_Name of a download) starts it afresh: labels empty, OK
// hidden, progress 0, Timer1 armed to start the transfer, Timer2 ticking.
// Unloading (closing) discards that state; the fields stay.
//
// Closing the window:
//   - cmd_Error's click closes it; it shows after an error.
//   - Escape and the window system's close are taken once the transfer has
//     ended, and during it while the OK button shows; otherwise (a download
//     under way without an error) they are refused, as the window offers no
//     other way to stop a download.
//   - Closing while a wait runs ends that wait as failed and ends the
//     transfer; nothing more is sent or shown.
//   - After a run-time error in the transfer (a message box reports it) the
//     OK button is shown too, so that the window can be dismissed.
#pragma once

#include "common.h"
#include "image_check.h"

#include <QDialog>
#include <QString>

#include <cstdint>

class Message_Box;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

class Frm_Status : public QDialog {
  Q_OBJECT

 public:
  // `messages` reports run-time errors; it must outlive the window.
  explicit Frm_Status(Message_Box *messages);
  ~Frm_Status() override;

  // ---- Operations of the download start ------------------------------------------
  void Set_Command_String(const QString &value);
  // Also shows "Sending... " and the path; loads the window if it is not.
  void Set_File_Name(const QString &value);
  void Set_Device_Name(const QString &value);
  // Whether a download ends with the image check; off at first.
  void Set_Verify(bool on) { verify_ = on; }
  bool Verify() const { return verify_; }

  // ---- Loading ---------------------------------------------------------------------
  bool Loaded() const { return loaded_; }
  // The window's Load: fresh controls, Timer1 armed, Timer2 ticking.
  void Load();
  // Closes the window: ends a running wait as failed and the transfer with
  // it, stops both timers and ends a modal display.
  void Unload();

  // The intervals Load gives Timer1 and Timer2 (10 ms and 100 ms); tests
  // shorten them. The waits count ticks, whatever the interval.
  void Set_Timer_Intervals(int timer1_ms, int timer2_ms);

  // ---- The transfer's routines -------------------------------------------------------
  // "Error : " and the text (set to "Timed out" when empty) in lbl_Status,
  // and cmd_Error shown.
  void Show_Error(QString &text);
  // Runs one wait (step 1, 3, 5 or 7) on the wait machine, letting events
  // run until it has finished; -1 when it succeeded. Step 7 asks the
  // instrument for its images and reads the answer line into Answer_Text.
  std::int16_t Run_Wait(std::int16_t step);

  // What the status shows after a checked download.
  static inline const QString kCompleteVerified = QStringLiteral("Complete \u2014 verified");
  static inline const QString kCancelled =
      QStringLiteral("Cancelled: the instrument now holds a partial image; download it again before use");
  // How long the check waits for the instrument (back from a reset, say) and
  // how many reads it makes for the answer once the question is out.
  static constexpr int kCheckWaitMs = 10000;
  static constexpr int kCheckReads = 10;

  // Whether the transfer is under way (its Timer1 tick has not returned).
  bool Transfer_Running() const { return transfer_running_; }
  // ProgressBar1's value as computed, in single precision.
  float Progress() const { return progress_; }

  // ---- Fields ------------------------------------------------------------------------
  QString Command_String;
  QString File_Name;
  QString Device_Name;        // padded (Pad_Nul), passed to every channel helper
  QString Answer_Text;        // the answer read during the current wait
  std::int16_t Wait_Result = 0;  // 0 pending, 1 succeeded, 2 failed
  int Remaining_Time = 0;     // the running wait's countdown in ms

  // ---- Controls ----------------------------------------------------------------------
  QLabel *lbl_Filename = nullptr;
  QLabel *lbl_Status = nullptr;
  QProgressBar *ProgressBar1 = nullptr;
  QPushButton *cmd_Error = nullptr;
  QPushButton *cmd_Cancel = nullptr;  // shown while the image is being sent
  QTimer *Timer1 = nullptr;  // starts the transfer once
  QTimer *Timer2 = nullptr;  // runs the wait machine

 signals:
  // lbl_Status's caption changed (a percentage, "Complete" or an error).
  void Status_Changed(const QString &caption);

 public slots:
  void Timer1_Timer();  // the transfer
  void Timer2_Timer();  // the wait machine
  void cmd_Error_Click();
  void cmd_Cancel_Click();
  // Escape and the window system's close come here.
  void reject() override;

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  void Set_Status(const QString &caption);
  // lbl_Status as high as its wrapped caption, the rows below and the window
  // moved down to match.
  void Fit_Status_Lines();
  void Show_OK_Button();
  // One tick of the image check (step 8).
  void Check_Tick();
  // Whether the instrument of Device_Name is listed now.
  bool Device_Present() const;
  // After the final answer: the check, then the caption it earns.
  void Finish_With_Check(const Image_Check::Image_Summary &sent);
  // The transfer from the command line to the end; raises Runtime_Error.
  void Transfer();
  bool Error_Shown() const;

  Message_Box *messages_;
  bool loaded_ = false;
  bool transfer_running_ = false;
  bool abandoned_ = false;  // closed while the transfer ran
  bool cancelled_ = false;  // Cancel pressed while the image was being sent
  bool verify_ = false;
  bool question_sent_ = false;  // the image check's question is out
  int quiet_reads_ = 0;         // reads since then that brought nothing
  float progress_ = 0;
  int timer1_ms_ = 10;
  int timer2_ms_ = 100;
};
