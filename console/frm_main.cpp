// Frm_Main: controls, start-up, shut-down and the window's events.
#include "frm_main.h"

#include "file_dialog.h"
#include "frm_log.h"
#include "frm_plot.h"
#include "frm_status.h"
#include "message_box.h"
#include "settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QIcon>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMoveEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QShowEvent>
#include <QTimer>
#include <QWindow>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cfloat>
#include <cmath>

using Common::kFalse;
using Common::Runtime_Error;

namespace {

constexpr int kPollInterval = 100;  // Timer1's interval at start, in ms

// The design client area, the window's size until start-up sets it.
constexpr double kDesignClientWidth = 10455;
constexpr double kDesignClientHeight = 9105;

QFont Arial(double points, bool bold = false) {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

// The application icon: a white "T" on a dark blue tile.
QIcon Application_Icon() {
  QPixmap tile(32, 32);
  tile.fill(QColor(0x1F, 0x3A, 0x68));
  QPainter painter(&tile);
  painter.setPen(Qt::white);
  painter.setFont(Arial(18, true));
  painter.drawText(tile.rect(), Qt::AlignCenter, QStringLiteral("T"));
  painter.end();
  return QIcon(tile);
}

// A stored text converted to a single-precision number, as start-up does.
double To_Single(const QString &text) {
  bool ok = false;
  const double value = QLocale::c().toDouble(text.trimmed(), &ok);
  if (!ok || !std::isfinite(value)) throw Runtime_Error(Common::kErrorTypeMismatch, QStringLiteral("Type mismatch"));
  if (std::fabs(value) > FLT_MAX) throw Runtime_Error(Common::kErrorOverflow, QStringLiteral("Overflow"));
  return static_cast<float>(value);
}

// A value written with the format "0": whole, no decimals, no grouping.
QString Format_Whole(double value) { return QString::number(std::llround(value)); }

[[noreturn]] void Invalid_Property() {
  throw Runtime_Error(Common::kErrorInvalidProperty, QStringLiteral("Invalid property value"));
}

template <typename Control>
Control *Named(Control *control, const char *name) {
  control->setObjectName(QString::fromLatin1(name));
  return control;
}

}  // namespace

Frm_Main::Frm_Main(Frm_Main_Services services, QWidget *parent) : QWidget(parent), services_(std::move(services)) {
  messages_ = services_.Messages;
  if (messages_ == nullptr) {
    own_messages_ = std::make_unique<Qt_Message_Box>();
    messages_ = own_messages_.get();
  }
  settings_ = services_.Settings;
  if (settings_ == nullptr) {
    own_settings_ = std::make_unique<Settings_Store>();
    settings_ = own_settings_.get();
  }
  CommonDialog1 = services_.Dialog;
  if (CommonDialog1 == nullptr) {
    own_dialog_ = std::make_unique<Qt_File_Dialog>();
    CommonDialog1 = own_dialog_.get();
  }
  if (services_.Program_Directory.isEmpty()) services_.Program_Directory = QCoreApplication::applicationDirPath();
  own_status_ = std::make_unique<Frm_Status>(messages_);
  frm_Status = own_status_.get();

  setObjectName(QStringLiteral("Frm_Main"));
  setWindowTitle(QStringLiteral("Tavrin"));
  setWindowIcon(Application_Icon());
  setFont(Arial(8.25));
  QPalette grey = palette();
  grey.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
  setPalette(grey);
  setAutoFillBackground(true);

  Create_Controls();
  Place_Controls();
  Set_Focus_Order();
  Wire_Events();
  Create_Views();

  width_ = kDesignClientWidth;
  height_ = kDesignClientHeight;
  Show_Window_Geometry();
}

Frm_Main::~Frm_Main() {
  Common::Set_Traffic_Observer({});
  // The list empties as it goes: its selection no longer concerns this window.
  List_Devices->disconnect(this);
}

void Frm_Main::Create_Controls() {
  lb_USB_I = Named(new QLabel(QStringLiteral("USB Interrogative"), this), "lb_USB_I");
  lb_USB_I->setFont(Arial(15.75, true));
  txt_USBI_Buffer = Named(new QPlainTextEdit(this), "txt_USBI_Buffer");
  txt_USBI_Buffer->setFont(Arial(8.25));
  lb_USB_F = Named(new QLabel(QStringLiteral("USB Formatted"), this), "lb_USB_F");
  lb_USB_F->setFont(Arial(15.75, true));
  txt_USBF_Buffer = Named(new QPlainTextEdit(this), "txt_USBF_Buffer");
  // Formatted output comes in columns (numbers, hexadecimal): a fixed-width
  // font keeps them in line. The interrogative box keeps its designed Arial.
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPointSizeF(8.25);
  txt_USBF_Buffer->setFont(fixed);

  Pic_Command = Named(new QFrame(this), "Pic_Command");
  Pic_Command->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  lst_Commands = Named(new QListWidget(Pic_Command), "lst_Commands");
  txt_Command = Named(new QLineEdit(Pic_Command), "txt_Command");
  Cmd_Send = Named(new QPushButton(QStringLiteral("&Send"), Pic_Command), "Cmd_Send");
  Cmd_Exit = Named(new QPushButton(QStringLiteral("E&xit"), Pic_Command), "Cmd_Exit");

  pic_FileName = Named(new QFrame(this), "pic_FileName");
  pic_FileName->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Frm_Code_Block = Named(new QGroupBox(QStringLiteral("Code Block"), pic_FileName), "Frm_Code_Block");
  // Captions with their keyboard mnemonics (Alt and the underlined letter).
  const char *file_types[] = {"&IP", "DS&P", "FP&GA"};
  for (int i = 0; i < 3; ++i) {
    Opt_File_Type[i] = Named(new QRadioButton(QString::fromLatin1(file_types[i]), Frm_Code_Block), "Opt_File_Type");
    Opt_File_Type[i]->setProperty("Index", i);
  }
  Opt_File_Type[0]->setChecked(true);
  txt_IP_Firmware_Location = Named(new QLineEdit(Frm_Code_Block), "txt_IP_Firmware_Location");
  txt_DSP_Firmware_Location = Named(new QLineEdit(Frm_Code_Block), "txt_DSP_Firmware_Location");
  txt_FPGA_Firmware_Location = Named(new QLineEdit(Frm_Code_Block), "txt_FPGA_Firmware_Location");
  for (QLineEdit *location : {txt_IP_Firmware_Location, txt_DSP_Firmware_Location, txt_FPGA_Firmware_Location}) {
    location->setFont(Arial(8.25, true));
  }
  Cmd_Get_IP_File_Name = Named(new QPushButton(QStringLiteral("..."), Frm_Code_Block), "Cmd_Get_IP_File_Name");
  Cmd_DSP_Get_File_Name = Named(new QPushButton(QStringLiteral("..."), Frm_Code_Block), "Cmd_DSP_Get_File_Name");
  Cmd_FPGA_Get_File_Name = Named(new QPushButton(QStringLiteral("..."), Frm_Code_Block), "Cmd_FPGA_Get_File_Name");

  Frm_After_Download = Named(new QGroupBox(QStringLiteral("After Download"), pic_FileName), "Frm_After_Download");
  const char *after_download[] = {"&Reset", "N&o Reset"};
  for (int i = 0; i < 2; ++i) {
    After_Download_Opt[i] =
        Named(new QRadioButton(QString::fromLatin1(after_download[i]), Frm_After_Download), "After_Download_Opt");
    After_Download_Opt[i]->setProperty("Index", i);
  }
  After_Download_Opt[0]->setChecked(true);
  Cmd_Send_File = Named(new QPushButton(QStringLiteral("Start Down&load"), pic_FileName), "Cmd_Send_File");
  lbl_TA_Devices = Named(new QLabel(QStringLiteral("Tavrin De&vices"), pic_FileName), "lbl_TA_Devices");
  lbl_TA_Devices->setFont(Arial(9.75, true));
  List_Devices = Named(new QListWidget(pic_FileName), "List_Devices");
  // A row wider than the list ("No USB Devices Found") wraps instead of
  // hiding behind a scroll bar.
  List_Devices->setWordWrap(true);
  List_Devices->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lbl_TA_Devices->setBuddy(List_Devices);

  Timer1 = Named(new QTimer(this), "Timer1");
  Timer1->setInterval(kPollInterval);
  // Discovery and polling ticks must not come before their time (coarse
  // timers fire up to 5% early).
  Timer1->setTimerType(Qt::PreciseTimer);
}

void Frm_Main::Set_Focus_Order() {
  const QList<QWidget *> order = {
      txt_USBI_Buffer,        txt_USBF_Buffer,          Cmd_Exit,
      lst_Commands,           txt_Command,              Cmd_Send,
      Opt_File_Type[0],       Opt_File_Type[1],         Opt_File_Type[2],
      txt_IP_Firmware_Location, Cmd_Get_IP_File_Name,   txt_DSP_Firmware_Location,
      Cmd_DSP_Get_File_Name,  txt_FPGA_Firmware_Location, Cmd_FPGA_Get_File_Name,
      After_Download_Opt[0],  After_Download_Opt[1],    Cmd_Send_File,
      List_Devices,
  };
  for (qsizetype i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void Frm_Main::Wire_Events() {
  connect(Cmd_Exit, &QPushButton::clicked, this, &Frm_Main::Cmd_Exit_Click);
  connect(Cmd_Send, &QPushButton::clicked, this, &Frm_Main::Cmd_Send_Click);
  // Enter in the command box presses Send while Send is enabled.
  connect(txt_Command, &QLineEdit::returnPressed, this, [this] {
    if (Cmd_Send->isEnabled()) Cmd_Send_Click();
  });
  // Up and Down in the command box walk through the history.
  txt_Command->installEventFilter(this);
  connect(txt_Command, &QLineEdit::textEdited, this, [this] { recall_row_ = -1; });
  if (!services_.Ticks_By_Caller) connect(Timer1, &QTimer::timeout, this, &Frm_Main::Timer1_Timer);
  connect(lst_Commands, &QListWidget::itemClicked, this, &Frm_Main::lst_Commands_Click);
  connect(lst_Commands, &QListWidget::itemSelectionChanged, this, &Frm_Main::lst_Commands_Click);
  connect(lst_Commands, &QListWidget::itemDoubleClicked, this, &Frm_Main::lst_Commands_DblClick);
  connect(Cmd_Get_IP_File_Name, &QPushButton::clicked, this, &Frm_Main::Cmd_Get_IP_File_Name_Click);
  connect(Cmd_DSP_Get_File_Name, &QPushButton::clicked, this, &Frm_Main::Cmd_DSP_Get_File_Name_Click);
  connect(Cmd_FPGA_Get_File_Name, &QPushButton::clicked, this, &Frm_Main::Cmd_FPGA_Get_File_Name_Click);
  connect(Cmd_Send_File, &QPushButton::clicked, this, &Frm_Main::Cmd_Send_File_Click);
}

// ---- Start-up and shut-down ---------------------------------------------------------

bool Frm_Main::Form_Load() {
  // The native window is not made here: a window not yet made is placed by
  // its frame, whatever the window system later tells of the frame's size
  // (a window made early would be placed by its client area, with its title
  // bar above the stored top).
  try {
    Refresh_Device_List();
    Common::History_File_Path = History_Location();
    Load_Command_History();
    txt_IP_Firmware_Location->setText(settings_->Get_Setting(QStringLiteral("FileName"), QStringLiteral("IP")));
    txt_DSP_Firmware_Location->setText(settings_->Get_Setting(QStringLiteral("FileName"), QStringLiteral("DSp")));
    txt_FPGA_Firmware_Location->setText(settings_->Get_Setting(QStringLiteral("FileName"), QStringLiteral("FPGA")));
    Restore_Views();
    // A stored value the window cannot take is named, with its file, and
    // its default is used: it says nothing about the library or the driver.
    const auto restore = [this](const QString &key, const QString &fallback, void (Frm_Main::*apply)(double)) {
      const QString text = settings_->Get_Setting(QStringLiteral("Position"), key, fallback);
      try {
        (this->*apply)(To_Single(text));
      } catch (const Runtime_Error &) {
        Report(QStringLiteral("The setting Position/%1 in %2 is \"%3\", not a usable number of twips; %4 is used instead")
                   .arg(key, QDir::toNativeSeparators(settings_->File_Name()), text, fallback));
        (this->*apply)(To_Single(fallback));
      }
    };
    restore(QStringLiteral("Top"), QStringLiteral("0"), &Frm_Main::Set_Top);
    restore(QStringLiteral("Left"), QStringLiteral("0"), &Frm_Main::Set_Left);
    restore(QStringLiteral("Height"), QStringLiteral("11000"), &Frm_Main::Set_Height);
    restore(QStringLiteral("Width"), QStringLiteral("9500"), &Frm_Main::Set_Width);
    Keep_On_Screen();
    Set_Connected(kFalse);
  } catch (const Runtime_Error &) {
    messages_->Show(nullptr, kDriverNotLoaded);
    End_Program(1);
    return false;
  }
  Timer1->start();
  return true;
}

void Frm_Main::Cmd_Exit_Click() {
  Timer1->stop();
  const QString position = QStringLiteral("Position");
  settings_->Save_Setting(position, QStringLiteral("Top"), Format_Whole(Top()));
  settings_->Save_Setting(position, QStringLiteral("Left"), Format_Whole(Left()));
  settings_->Save_Setting(position, QStringLiteral("Height"), Format_Whole(Height()));
  settings_->Save_Setting(position, QStringLiteral("Width"), Format_Whole(Width()));
  End_Program(0);
}

void Frm_Main::End_Program(int exit_code) {
  ended_ = true;
  Timer1->stop();
  frm_Log->hide();
  frm_Plot->hide();
  hide();
  emit Program_Ended(exit_code);
}

void Frm_Main::closeEvent(QCloseEvent *event) {
  // The title-bar close box ends the program with its views, as Exit does,
  // but saves nothing: only Exit keeps the window's position.
  if (!ended_) End_Program(0);
  QWidget::closeEvent(event);
}

void Frm_Main::Show_Message(const QString &text) { messages_->Show(this, text); }

void Frm_Main::Clear_Last_Error() {
  if (Last_Error.isEmpty()) return;
  Last_Error.clear();
  Show_Connection_State();
}

void Frm_Main::Report(const QString &text) {
  Last_Error = text;
  Show_Connection_State();
  Show_Message(text);
}

// ---- The window's outer position and size ---------------------------------------------

void Frm_Main::Set_Left(double twips) {
  if (!Twips_Within_Toolkit_Range(twips)) Invalid_Property();
  left_ = twips;
  Show_Window_Geometry();
}

void Frm_Main::Set_Top(double twips) {
  if (!Twips_Within_Toolkit_Range(twips)) Invalid_Property();
  top_ = twips;
  Show_Window_Geometry();
}

void Frm_Main::Set_Width(double twips) {
  if (!(twips >= 0) || !Twips_Within_Toolkit_Range(twips)) Invalid_Property();
  width_ = twips;
  Show_Window_Geometry();
  Arrange_Controls();  // the window's Resize
}

void Frm_Main::Set_Height(double twips) {
  if (!(twips >= 0) || !Twips_Within_Toolkit_Range(twips)) Invalid_Property();
  height_ = twips;
  Show_Window_Geometry();
  Arrange_Controls();  // the window's Resize
}

void Frm_Main::Show_Window_Geometry() {
  // The twips values are the frame's (the outer rectangle). The toolkit
  // places a window by its frame but sizes it by its client area, so the
  // size loses the frame as far as it is known; once the window system has
  // told it (after the window is shown, under some), Follow_Frame shows the
  // geometry again.
  const QWindow *window = windowHandle();
  const QMargins frame = window != nullptr ? window->frameMargins() : QMargins();
  shown_frame_ = frame;
  showing_geometry_ = true;
  Apply_Minimum_Size();
  move(Twips_To_Pixels(left_), Twips_To_Pixels(top_));
  resize(std::max(0, Twips_To_Pixels(width_) - frame.left() - frame.right()),
         std::max(0, Twips_To_Pixels(height_) - frame.top() - frame.bottom()));
  showing_geometry_ = false;
}

bool Frm_Main::Follow_Frame() {
  QWindow *window = windowHandle();
  if (window == nullptr || window->frameMargins() == shown_frame_) return false;
  // The window system framed the window (or changed its frame) after the
  // geometry was shown: that is not the user's doing, and the outer
  // rectangle stays the one in twips.
  shown_frame_ = window->frameMargins();
  QTimer::singleShot(0, this, [this] {
    if (!ended_) Show_Window_Geometry();
  });
  return true;
}

void Frm_Main::Keep_On_Screen() {
  // The title bar must be on a screen, enough of it to take hold of; a
  // window saved on a screen that is gone comes back on the primary one.
  const QRect outer(Twips_To_Pixels(left_), Twips_To_Pixels(top_), Twips_To_Pixels(width_), Twips_To_Pixels(height_));
  const QRect title_bar(outer.left(), outer.top(), outer.width(), 24);
  for (const QScreen *screen : QGuiApplication::screens()) {
    const QRect seen = screen->availableGeometry().intersected(title_bar);
    if (seen.width() >= std::min(64, outer.width()) && seen.height() >= std::min(8, outer.height())) return;
  }
  const QScreen *primary = QGuiApplication::primaryScreen();
  if (primary == nullptr) return;
  const QRect area = primary->availableGeometry();
  left_ = std::clamp(outer.left(), area.left(), std::max(area.left(), area.right() + 1 - outer.width())) * kTwipsPerPixel;
  top_ = std::clamp(outer.top(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height())) * kTwipsPerPixel;
  Show_Window_Geometry();
}

void Frm_Main::Take_Window_Position() {
  // Only what the user or the window system changed is taken up; a value
  // that still shows as the same pixel keeps its exact twips.
  if (showing_geometry_ || !isVisible() || Follow_Frame()) return;
  const QPoint outer = frameGeometry().topLeft();
  if (outer.x() != Twips_To_Pixels(left_)) left_ = outer.x() * kTwipsPerPixel;
  if (outer.y() != Twips_To_Pixels(top_)) top_ = outer.y() * kTwipsPerPixel;
}

void Frm_Main::Take_Window_Size() {
  // Taken when the client area changes size, so that a frame the window
  // system adds later does not count as the user's doing.
  if (showing_geometry_ || !isVisible() || Follow_Frame()) return;
  const QSize outer = frameGeometry().size();
  if (outer.width() != Twips_To_Pixels(width_)) width_ = outer.width() * kTwipsPerPixel;
  if (outer.height() != Twips_To_Pixels(height_)) height_ = outer.height() * kTwipsPerPixel;
}

// ---- Window events --------------------------------------------------------------------

bool Frm_Main::eventFilter(QObject *watched, QEvent *event) {
  if (watched == txt_Command && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent *>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Recall_History(key == Qt::Key_Up ? 1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void Frm_Main::Recall_History(int older) {
  // Rows of lst_Commands run from the newest; -1 is the text being typed.
  const int rows = lst_Commands->count();
  if (rows == 0) return;
  if (recall_row_ < 0) typed_text_ = txt_Command->text();
  recall_row_ = std::clamp(recall_row_ + older, -1, rows - 1);
  txt_Command->setText(recall_row_ < 0 ? typed_text_ : lst_Commands->item(recall_row_)->text());
}

bool Frm_Main::event(QEvent *event) {
  if (event->type() == QEvent::WindowActivate) txt_Command->setFocus(Qt::ActiveWindowFocusReason);
  return QWidget::event(event);
}

void Frm_Main::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  // The frame may have changed since the size was set.
  if (!event->spontaneous()) Show_Window_Geometry();
}

void Frm_Main::resizeEvent(QResizeEvent *event) {
  QWidget::resizeEvent(event);
  Take_Window_Size();
  Arrange_Controls();
}

void Frm_Main::moveEvent(QMoveEvent *event) {
  QWidget::moveEvent(event);
  Take_Window_Position();
}
