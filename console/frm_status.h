// frm_Status, the small modal window that carries out a firmware download:
// it sends the command line, waits for the instrument's acknowledgement,
// streams the file in 1024-byte writes with a progress bar, waits for the
// final answer, shows "Complete" for two seconds and closes itself; or shows
// "Error : " and the reason and waits for its OK button. With verification
// on (the main window's "Verify downloads", off at first) it first asks the
// instrument for the image it now holds ("FW?") and compares its size and
// CRC-32 with the file's: "Complete — verified", "Complete" when the
// instrument does not answer the question, or an error for a mismatch. The exchange itself is client/'s
// download state object (it drains stale answers before the download line);
// the window's Timer1 starts it, Timer2's ticks drive its waits, and the
// image goes chunk by chunk with the progress shown and events let run after
// each chunk.
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

#include <download.h>

#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>

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
  // Closes the window: ends a running download as failed (nothing more is
  // sent or read), stops both timers and ends a modal display.
  void Unload();

  // The intervals Load gives Timer1 and Timer2 (10 ms and 100 ms); tests
  // shorten them. The waits count ticks, whatever the interval.
  void Set_Timer_Intervals(int timer1_ms, int timer2_ms);

  // ---- The transfer's routines -------------------------------------------------------
  // "Error : " and the text (set to "Timed out" when empty) in lbl_Status,
  // and cmd_Error shown.
  void Show_Error(QString &text);

  // What the status shows after a checked download.
  static inline const QString kCompleteVerified = QStringLiteral("Complete \u2014 verified");
  static inline const QString kCancelled =
      QStringLiteral("Cancelled: the instrument now holds a partial image; download it again before use");
  // Whether the transfer is under way: from Timer1's tick until the download
  // has ended or the window was closed.
  bool Transfer_Running() const { return transfer_running_; }
  // The download under way or the last one; null before the first.
  const Client::Download *Download() const { return download_.get(); }
  // ProgressBar1's value as computed, in single precision.
  float Progress() const { return progress_; }

  // ---- Fields ------------------------------------------------------------------------
  QString Command_String;
  QString File_Name;
  QString Device_Name;        // padded (Pad_Nul), passed to every channel helper
  QString Answer_Text;        // the answer read during the current wait

  // ---- Controls ----------------------------------------------------------------------
  QLabel *lbl_Filename = nullptr;
  QLabel *lbl_Status = nullptr;
  QProgressBar *ProgressBar1 = nullptr;
  QPushButton *cmd_Error = nullptr;
  QPushButton *cmd_Cancel = nullptr;  // shown while the image is being sent
  QTimer *Timer1 = nullptr;  // starts the transfer once
  QTimer *Timer2 = nullptr;  // ticks the download's waits

 signals:
  // lbl_Status's caption changed (a percentage, "Complete" or an error).
  void Status_Changed(const QString &caption);

 public slots:
  void Timer1_Timer();  // starts the transfer
  void Timer2_Timer();  // one wait tick of the download
  void cmd_Error_Click();
  void cmd_Cancel_Click();
  // Escape and the window system's close come here.
  void reject() override;

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  class Image_File;

  void Set_Status(const QString &caption);
  // lbl_Status as high as its wrapped caption, the rows below and the window
  // moved down to match.
  void Fit_Status_Lines();
  void Show_OK_Button();
  // Sends the image chunk by chunk, letting events run after each.
  void Send_Image();
  // Shows what the download's stage now calls for; ends the transfer once
  // the download has finished.
  void Follow_Download();
  void End_Transfer();
  // A run-time error in the transfer: a message box, the transfer ends, and
  // the OK button lets the window be dismissed.
  void Report(const Common::Runtime_Error &error);
  bool Error_Shown() const;

  Message_Box *messages_;
  bool loaded_ = false;
  bool transfer_running_ = false;
  bool cancelled_ = false;  // Cancel pressed while the image was being sent
  bool in_tick_ = false;    // a Timer2 tick is being handled
  bool verify_ = false;     // ask FW? after the final answer
  float progress_ = 0;
  int timer1_ms_ = 10;
  int timer2_ms_ = 100;
  std::unique_ptr<Image_File> image_;
  std::unique_ptr<Client::Instrument> instrument_;
  std::unique_ptr<Client::Download> download_;
};
