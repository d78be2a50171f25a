// frm_Log, the log of the instrument traffic: every command sent and every
// answer received, with its time, device and channel, in a window of its own
// beside the main window (so the main window keeps its layout). The channels
// shown can be chosen, the bytes shown as text or as hexadecimal, the log
// emptied (Clear) and written to a file (Save). A long transfer (an image's
// 1024-byte writes) is kept and shown by its first kShownBytes bytes and its
// length, and the log keeps the newest transfers up to kMaxBytes of memory,
// also while the window is closed (they show when it opens); the window says
// so.
#pragma once

#include <QDateTime>
#include <QString>
#include <QWidget>

#include <array>
#include <deque>

class File_Dialog;
class Message_Box;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class Frm_Log : public QWidget {
  Q_OBJECT

 public:
  static constexpr qsizetype kShownBytes = 96;
  // What the kept entries may take, all told.
  static constexpr std::size_t kMaxBytes = 2 * 1024 * 1024;

  struct Entry {
    QDateTime Time;
    int Channel = 0;  // 0 command (sent), 1 interrogative, 2 formatted (received), 3 a note
    QString Device;
    QString Text;     // one character per byte; kept: the first kShownBytes
    bool Ok = true;   // false: a command that did not go
    qsizetype Length = -1;  // the transfer's bytes; -1: Text's length
  };

  // `dialog` answers Save's file dialog and `messages` reports a failed
  // save; both must outlive the window.
  Frm_Log(File_Dialog *dialog, Message_Box *messages, QWidget *parent = nullptr);

  // Records one transfer (shown at once when its channel is shown).
  void Add(const Entry &entry);
  // Records what became of something the log shows no bytes of (a download's
  // outcome); notes show whichever channels are chosen.
  void Add_Note(const QString &device, const QString &text);
  static constexpr int kNoteChannel = 3;
  const std::deque<Entry> &Entries() const { return entries_; }
  // The memory the kept entries take, as counted against kMaxBytes.
  std::size_t Stored_Bytes() const { return stored_bytes_; }
  // One entry as the log shows it: "hh:mm:ss.zzz DEVICE CMD > text" with
  // line ends and other control bytes written as escapes (\n, \r, \xNN), or
  // its bytes in hexadecimal followed by them as characters (a dot for a
  // byte that is not printable).
  static QString Line(const Entry &entry, bool hex);
  // Writes the shown lines to `path`; false (and a message naming the file)
  // when that failed.
  bool Save_To(const QString &path);

  QPlainTextEdit *txt_Log = nullptr;
  QLabel *lbl_Kept = nullptr;  // what the log keeps
  std::array<QCheckBox *, 3> chk_Channel{};  // command, interrogative, formatted
  QCheckBox *chk_Hex = nullptr;
  QPushButton *cmd_Clear = nullptr;
  QPushButton *cmd_Save = nullptr;

 signals:
  // The user closed the window.
  void Closed();

 public slots:
  void cmd_Clear_Click();
  void cmd_Save_Click();
  // Shows the entries again after a change of the channels or the view.
  void Refill();

 protected:
  void closeEvent(QCloseEvent *event) override;
  void showEvent(QShowEvent *event) override;

 private:
  bool Shown(const Entry &entry) const;

  File_Dialog *dialog_;
  Message_Box *messages_;
  static std::size_t Bytes_Of(const Entry &entry);
  std::deque<Entry> entries_;
  std::size_t stored_bytes_ = 0;
};
