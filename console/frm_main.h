// Frm_Main, Pipe_Console's main window: the device list, the command console
// with its history, the two reply boxes, the download area, and the one timer
// that drives discovery and polling.
//
// The window's code is split by responsibility:
//   frm_main.cpp        controls, start-up, shut-down, window events
//   device_console.cpp  device list, connection, Send, Timer1, reply rule
//   command_history.cpp the history list and its file
//   layout.cpp          design geometry in twips and Arrange_Controls
//   download_area.cpp   the download area: file selection and download start
//   frm_status.cpp      the status window frm_Status that runs a download
//
// Positions and sizes are in twips (15 twips per pixel). Each control keeps
// its twips geometry exactly; the widget shows it rounded to pixels.
#pragma once

#include "common.h"

#include <QHash>
#include <QMargins>
#include <QSizeF>
#include <QStringList>
#include <QWidget>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>

class File_Dialog;
class Frm_Log;
class Frm_Plot;
class Frm_Status;
class QAction;
class QStatusBar;
class Message_Box;
class Settings_Store;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;

// A control's place in twips, relative to the inside of its container.
struct Twips_Rect {
  double Left = 0;
  double Top = 0;
  double Width = 0;
  double Height = 0;
  bool operator==(const Twips_Rect &) const = default;
};

inline constexpr double kTwipsPerPixel = 15.0;

// The pixel a position or size in twips is shown at.
inline int Twips_To_Pixels(double twips) { return static_cast<int>(std::lround(twips / kTwipsPerPixel)); }
// Whether a position or size in twips has a place in the toolkit at all.
inline bool Twips_Within_Toolkit_Range(double twips) {
  return std::isfinite(twips) && std::fabs(twips / kTwipsPerPixel) <= QWIDGETSIZE_MAX;
}

// What the window uses from outside, each replaceable (tests record messages,
// answer the file dialog, keep settings and the history file in throw-away
// places, and tick Timer1 themselves).
struct Frm_Main_Services {
  Message_Box *Messages = nullptr;     // null: the real message box
  Settings_Store *Settings = nullptr;  // null: the user's own store
  File_Dialog *Dialog = nullptr;       // null: the toolkit's file-open dialog
  QString Program_Directory;           // empty: the program's own directory (ListBox.txt)
  QString User_Data_Directory;         // empty: the user's data directory (ListBox.txt when the
                                       // program's directory is read-only)
  bool Ticks_By_Caller = false;        // Timer1 runs, but its ticks are the caller's calls
};

class Frm_Main : public QWidget {
  Q_OBJECT

 public:
  explicit Frm_Main(Frm_Main_Services services = {}, QWidget *parent = nullptr);
  ~Frm_Main() override;

  // ---- Start-up and shut-down ----------------------------------------------
  // The window's Load: contacts the library, restores the settings, fills the
  // device list and the history, and starts Timer1. False when start-up
  // failed; the message has then been shown and the program ended.
  bool Form_Load();
  // Whether the program has been ended (by Exit, or by a failed start-up).
  bool Ended() const { return ended_; }

  // ---- The window's outer position and size in twips --------------------------
  double Left() const { return left_; }
  double Top() const { return top_; }
  double Width() const { return width_; }
  double Height() const { return height_; }
  // Each raises Runtime_Error (380) for a value the window cannot take (a
  // negative size, or one beyond the toolkit's range).
  void Set_Left(double twips);
  void Set_Top(double twips);
  void Set_Width(double twips);
  void Set_Height(double twips);

  // ---- Device list and console -------------------------------------------------
  void Refresh_Device_List();
  void Set_Connected(std::int16_t value);
  void Enable_Send_Buttons(std::int16_t value);
  // The selected row's text of List_Devices; empty when no row is selected.
  QString Selected_Device() const;
  // The reply rule: empties `box` when `memory` holds a line feed and `text`
  // is not empty, remembers `text`, and appends it without its line feeds.
  static void Apply_Reply_Rule(QPlainTextEdit *box, QString &memory, const QString &text);

  // ---- Command history ------------------------------------------------------------
  void Load_Command_History();
  void Add_Command_To_History(const QString &command);
  void Show_Command_History();
  void Save_Command_History();
  // Where the history file lives: beside the program when its directory
  // can be written, else in the user's data directory.
  QString History_Location() const;

  // ---- Download area --------------------------------------------------------------
  // Shows CommonDialog1 and returns the chosen file's full path; an empty
  // text when the dialog yields none (cancelled, or it failed).
  QString Get_File_Name();

  // ---- Layout ------------------------------------------------------------------
  void Arrange_Controls();
  // The smallest outer size (width, height in twips) at which the rules
  // refuse nothing and move no control onto another, with each box they size
  // keeping room for a line of text. The window's minimum size is this less
  // its frame.
  QSizeF Minimum_Outer_Twips() const;
  // A control's current geometry in twips.
  Twips_Rect Twips(const QWidget *control) const;

  // ---- State --------------------------------------------------------------------
  std::int16_t Connected = Common::kFalse;
  QString Last_Error;                // the last problem reported to the user
  QStringList Command_History;       // index 0 the oldest entry
  std::int16_t History_Count = -1;   // the upper index; -1 when empty

  // ---- Controls ------------------------------------------------------------------
  QLabel *lb_USB_I = nullptr;
  QPlainTextEdit *txt_USBI_Buffer = nullptr;
  QLabel *lb_USB_F = nullptr;
  QPlainTextEdit *txt_USBF_Buffer = nullptr;
  QFrame *Pic_Command = nullptr;
  QListWidget *lst_Commands = nullptr;
  QLineEdit *txt_Command = nullptr;
  QPushButton *Cmd_Send = nullptr;
  QPushButton *Cmd_Exit = nullptr;
  QFrame *pic_FileName = nullptr;
  QGroupBox *Frm_Code_Block = nullptr;
  std::array<QRadioButton *, 3> Opt_File_Type{};  // IP, DSP, FPGA
  QLineEdit *txt_IP_Firmware_Location = nullptr;
  QLineEdit *txt_DSP_Firmware_Location = nullptr;
  QLineEdit *txt_FPGA_Firmware_Location = nullptr;
  QPushButton *Cmd_Get_IP_File_Name = nullptr;
  QPushButton *Cmd_DSP_Get_File_Name = nullptr;
  QPushButton *Cmd_FPGA_Get_File_Name = nullptr;
  QGroupBox *Frm_After_Download = nullptr;
  std::array<QRadioButton *, 2> After_Download_Opt{};  // Reset, No Reset
  QPushButton *Cmd_Send_File = nullptr;
  QLabel *lbl_TA_Devices = nullptr;
  QListWidget *List_Devices = nullptr;
  QTimer *Timer1 = nullptr;
  File_Dialog *CommonDialog1 = nullptr;  // the file-open dialog of the "..." buttons
  // The status window; the same object serves every download of the run.
  Frm_Status *frm_Status = nullptr;

  // ---- Views and actions beyond the design (view_actions.cpp) ---------------------
  // All in the window's context menu (right button on the window's
  // background) and on keys; each view's state is kept for the next run
  // (section "View"). With every view off the window is as designed.
  QAction *act_Log = nullptr;         // Ctrl+L: the traffic log window
  QAction *act_Plot = nullptr;        // Ctrl+P: the plot of readings
  QAction *act_Transcript = nullptr;  // Ctrl+T: reply boxes keep every answer, line by line
  QAction *act_Status_Bar = nullptr;  // Ctrl+B: instrument, last error, disappearance
  QAction *act_Verify = nullptr;      // downloads end with the image check ("FW?"); off at first
  QAction *act_Refresh = nullptr;     // F5: list the instruments again
  QAction *act_About = nullptr;       // F1: the program and where it keeps its files
  QStatusBar *sts_Status = nullptr;
  QLabel *lbl_Connection = nullptr;
  QLabel *lbl_Last_Error = nullptr;
  Frm_Log *frm_Log = nullptr;
  Frm_Plot *frm_Plot = nullptr;
  // Lines each reply box keeps in the transcript view.
  static constexpr int kTranscriptLines = 5000;

  bool Transcript() const;
  // Lists the instruments again, keeping the selected one selected when it
  // is still there; a connection whose instrument went is dropped.
  void Refresh_Keeping_Selection();
  QString About_Text() const;
  // Which kernel serves the instruments: "the embedded kernel", or
  // "tavrind at SOCKET" for the service's socket.
  static QString Kernel_Description(const char *service_socket);

  // The device list's row when no instrument is present.
  static inline const QString kNoDevices = QStringLiteral("No USB Devices Found");
  static inline const QString kDriverNotLoaded = QStringLiteral("The Tavrin.sys Driver is not loaded");

 signals:
  // The program ends: the window has closed and no further events should run.
  void Program_Ended(int exit_code);

 public slots:
  void Cmd_Exit_Click();
  void Cmd_Send_Click();
  void Timer1_Timer();
  void lst_Commands_Click();
  void lst_Commands_DblClick();
  void Cmd_Get_IP_File_Name_Click();
  void Cmd_DSP_Get_File_Name_Click();
  void Cmd_FPGA_Get_File_Name_Click();
  void Cmd_Send_File_Click();

 protected:
  bool event(QEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;
  void moveEvent(QMoveEvent *event) override;

 private:
  void Create_Controls();
  void Set_Focus_Order();
  void Wire_Events();

  // view_actions.cpp
  void Create_Views();
  void Restore_Views();
  void Save_View(const QString &key, bool on);
  void Show_Connection_State();
  // The status bar's height in twips, 0 while it is hidden.
  double Status_Bar_Twips() const;
  void Place_Status_Bar();
  // A reply for `box`: the design's reply rule, or in the transcript view
  // the text appended as it came, line ends kept.
  void Show_Reply(QPlainTextEdit *box, QString &memory, const QString &text);
  void Record_Traffic(int channel, const QString &device, const QString &text, bool ok);
  void Instrument_Gone();

  // layout.cpp
  void Place_Controls();
  void Apply_Minimum_Size();
  void Place(QWidget *control, const Twips_Rect &rect);
  void Show_Geometry(QWidget *control);
  void Set_Control_Left(QWidget *control, double twips);
  void Set_Control_Top(QWidget *control, double twips);
  // False (nothing changed) when the control refuses the value.
  bool Set_Control_Width(QWidget *control, double twips);
  bool Set_Control_Height(QWidget *control, double twips);

  // The window's geometry: shows the twips values, or takes up what the user
  // or the window system changed.
  void Show_Window_Geometry();
  void Take_Window_Position();
  void Take_Window_Size();
  // True when the window system's frame changed since the geometry was
  // shown; the geometry is then shown again (once events have run).
  bool Follow_Frame();
  // Moves a restored window whose title bar is on no screen onto the
  // primary screen.
  void Keep_On_Screen();

  // download_area.cpp
  // A "..." button's click: the chosen path into `box` and the settings.
  void Choose_File(QLineEdit *box, const QString &key);

  // device_console.cpp
  // An error no handler traps: reported by number, then the program ends.
  void Untrapped_Error(const Common::Runtime_Error &error);

  void End_Program(int exit_code);
  void Show_Message(const QString &text);
  // A problem the user should know of: shown in a message box and kept as
  // the last error.
  void Report(const QString &text);
  // The status bar's last error goes once something succeeds again.
  void Clear_Last_Error();
  // Why a send or download has no instrument: the one that went, or none chosen.
  QString No_Instrument_Reason() const;

  Frm_Main_Services services_;
  std::unique_ptr<Message_Box> own_messages_;
  std::unique_ptr<Settings_Store> own_settings_;
  std::unique_ptr<File_Dialog> own_dialog_;
  std::unique_ptr<Frm_Status> own_status_;
  std::unique_ptr<File_Dialog> own_save_dialog_;
  std::unique_ptr<Frm_Log> own_log_;
  std::unique_ptr<Frm_Plot> own_plot_;
  QString connected_device_;   // the instrument of the last connection
  QString last_download_;      // "Last download to TAVRIN-0: Complete at ...", shown while no error is
  QString gone_note_;          // "TAVRIN-0 disappeared at ...", until the next connection
  Message_Box *messages_ = nullptr;
  Settings_Store *settings_ = nullptr;

  QHash<const QWidget *, Twips_Rect> geometry_;
  double left_ = 0;
  double top_ = 0;
  double width_ = 0;
  double height_ = 0;
  bool showing_geometry_ = false;
  QMargins shown_frame_;  // the frame the geometry was last shown with

  bool ended_ = false;
  bool loading_ = false;

  // Up/Down recall in txt_Command: the lst_Commands row shown (-1 none) and
  // the text typed before the first recall.
  void Recall_History(int older);
  int recall_row_ = -1;
  // The history's "Overflow" has been shown this run.
  bool overflow_reported_ = false;
  QString typed_text_;
};
