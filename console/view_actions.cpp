// Frm_Main's views and actions beyond the design: the traffic log window, the
// plot of readings, the transcript view of the reply boxes, the status bar,
// the image check after downloads, Refresh and About. They hang on the window's context menu and on keys, so
// that with every view off the window keeps its designed layout.
#include "frm_main.h"

#include "file_dialog.h"
#include "frm_log.h"
#include "frm_plot.h"
#include "frm_status.h"
#include "settings_store.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>

#include <um/kernel_backend.h>

namespace {

const QString kViewSection = QStringLiteral("View");

QAction *New_Action(QWidget *owner, const QString &text, const QKeySequence &keys, const char *name,
                    bool checkable) {
  auto *action = new QAction(text, owner);
  action->setObjectName(QString::fromLatin1(name));
  action->setShortcut(keys);
  action->setCheckable(checkable);
  owner->addAction(action);
  return action;
}

}  // namespace

void Frm_Main::Create_Views() {
  act_Log = New_Action(this, QStringLiteral("&Log of the traffic"), QKeySequence(Qt::CTRL | Qt::Key_L), "act_Log", true);
  act_Plot = New_Action(this, QStringLiteral("&Plot of readings"), QKeySequence(Qt::CTRL | Qt::Key_P), "act_Plot", true);
  act_Transcript = New_Action(this, QStringLiteral("&Transcript in the reply boxes"),
                              QKeySequence(Qt::CTRL | Qt::Key_T), "act_Transcript", true);
  act_Status_Bar = New_Action(this, QStringLiteral("Status &bar"), QKeySequence(Qt::CTRL | Qt::Key_B), "act_Status_Bar", true);
  act_Verify = New_Action(this, QStringLiteral("&Verify downloads"), QKeySequence(), "act_Verify", true);
  act_Refresh = New_Action(this, QStringLiteral("&Refresh the device list"), QKeySequence(Qt::Key_F5), "act_Refresh", false);
  act_About = New_Action(this, QStringLiteral("&About Pipe_Console"), QKeySequence(Qt::Key_F1), "act_About", false);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  sts_Status = new QStatusBar(this);
  sts_Status->setObjectName(QStringLiteral("sts_Status"));
  sts_Status->setSizeGripEnabled(false);
  lbl_Connection = new QLabel(sts_Status);
  lbl_Connection->setObjectName(QStringLiteral("lbl_Connection"));
  lbl_Last_Error = new QLabel(sts_Status);
  lbl_Last_Error->setObjectName(QStringLiteral("lbl_Last_Error"));
  sts_Status->addWidget(lbl_Connection, 1);
  sts_Status->addPermanentWidget(lbl_Last_Error, 2);
  sts_Status->hide();

  // The log window keeps its own save dialog, so that CommonDialog1 keeps
  // the firmware file it shows.
  File_Dialog *save_dialog = services_.Dialog;
  if (save_dialog == nullptr) {
    own_save_dialog_ = std::make_unique<Qt_File_Dialog>();
    save_dialog = own_save_dialog_.get();
  }
  own_log_ = std::make_unique<Frm_Log>(save_dialog, messages_);
  frm_Log = own_log_.get();
  own_plot_ = std::make_unique<Frm_Plot>();
  frm_Plot = own_plot_.get();
  // The views look like the main window: one product, not two.
  for (QWidget *view : {static_cast<QWidget *>(frm_Log), static_cast<QWidget *>(frm_Plot)}) {
    view->setPalette(palette());
    view->setAutoFillBackground(true);
    view->setFont(font());
    view->setWindowIcon(windowIcon());
  }
  Common::Set_Traffic_Observer([this](int channel, const QString &device, const QString &text, bool ok) {
    Record_Traffic(channel, device, text, ok);
  });

  connect(act_Log, &QAction::toggled, this, [this](bool on) {
    frm_Log->setVisible(on);
    Save_View(QStringLiteral("Log"), on);
  });
  connect(act_Plot, &QAction::toggled, this, [this](bool on) {
    frm_Plot->setVisible(on);
    Save_View(QStringLiteral("Plot"), on);
  });
  connect(act_Transcript, &QAction::toggled, this, [this](bool on) {
    // The design's boxes have no length limit; the transcript keeps its newest lines.
    for (QPlainTextEdit *box : {txt_USBI_Buffer, txt_USBF_Buffer}) box->setMaximumBlockCount(on ? kTranscriptLines : 0);
    Save_View(QStringLiteral("Transcript"), on);
  });
  connect(act_Status_Bar, &QAction::toggled, this, [this](bool on) {
    sts_Status->setVisible(on);
    Save_View(QStringLiteral("StatusBar"), on);
    Apply_Minimum_Size();  // the bar takes its height from the window's
    Arrange_Controls();
  });
  // The user may choose another instrument at any time: the bar follows.
  connect(List_Devices, &QListWidget::itemSelectionChanged, this, [this] {
    const QString row = Selected_Device();
    if (Connected != Common::kFalse && !row.isEmpty() && row != kNoDevices) connected_device_ = row;
    Show_Connection_State();
  });
  // A real instrument need not know "FW?": asking it is the user's choice.
  connect(act_Verify, &QAction::toggled, this, [this](bool on) {
    frm_Status->Set_Verify(on);
    Save_View(QStringLiteral("VerifyDownloads"), on);
  });
  connect(act_Refresh, &QAction::triggered, this, &Frm_Main::Refresh_Keeping_Selection);
  connect(act_About, &QAction::triggered, this, [this] { Show_Message(About_Text()); });
  // Closing a view's own window unticks it.
  connect(frm_Log, &Frm_Log::Closed, act_Log, [this] { act_Log->setChecked(false); });
  connect(frm_Plot, &Frm_Plot::Closed, act_Plot, [this] { act_Plot->setChecked(false); });
  connect(frm_Status, &Frm_Status::Status_Changed, this, [this](const QString &caption) {
    // The bar says "Last error: " itself: the reason alone follows it.
    const QString error_prefix = QStringLiteral("Error : ");
    const bool failed = caption.startsWith(error_prefix);
    if (!failed && !caption.startsWith(QStringLiteral("Complete"))) return;  // a percentage
    // The outcome stays on record once the status window has closed.
    const QString device = Common::Strip_Nul(frm_Status->Device_Name);
    frm_Log->Add_Note(device, QStringLiteral("download of %1: %2").arg(QDir::toNativeSeparators(frm_Status->File_Name), caption));
    last_download_ = QStringLiteral("Last download to %1: %2 at %3")
                         .arg(device, failed ? QStringLiteral("failed") : caption,
                              QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")));
    if (failed) {
      Last_Error = caption.mid(error_prefix.size());
      Show_Connection_State();
    } else {
      Last_Error.clear();
      Show_Connection_State();
    }
  });
  Show_Connection_State();
}

void Frm_Main::Restore_Views() {
  const auto stored = [this](const char *key) {
    return settings_->Get_Setting(kViewSection, QString::fromLatin1(key), QStringLiteral("0")) == QStringLiteral("1");
  };
  loading_ = true;
  act_Transcript->setChecked(stored("Transcript"));
  act_Status_Bar->setChecked(stored("StatusBar"));
  act_Log->setChecked(stored("Log"));
  act_Plot->setChecked(stored("Plot"));
  act_Verify->setChecked(stored("VerifyDownloads"));
  loading_ = false;
}

void Frm_Main::Save_View(const QString &key, bool on) {
  if (!loading_ && !ended_) settings_->Save_Setting(kViewSection, key, on ? QStringLiteral("1") : QStringLiteral("0"));
}

bool Frm_Main::Transcript() const { return act_Transcript->isChecked(); }

void Frm_Main::Show_Reply(QPlainTextEdit *box, QString &memory, const QString &text) {
  if (frm_Plot->isVisible())
    frm_Plot->Add_Text(box == txt_USBI_Buffer ? Frm_Plot::Interrogative : Frm_Plot::Formatted, text);
  if (!Transcript()) {
    Apply_Reply_Rule(box, memory, text);
    return;
  }
  memory = text;
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.remove(QLatin1Char('\r'));
  if (shown.isEmpty()) return;
  QTextCursor end(box->document());
  end.movePosition(QTextCursor::End);
  end.insertText(shown);
  box->verticalScrollBar()->setValue(box->verticalScrollBar()->maximum());
}

void Frm_Main::Record_Traffic(int channel, const QString &device, const QString &text, bool ok) {
  frm_Log->Add({QDateTime::currentDateTime(), channel, device, text, ok});
}

QString Frm_Main::Kernel_Description(const char *service_socket) {
  return service_socket == nullptr ? QStringLiteral("the embedded kernel")
                                   : QStringLiteral("tavrind at %1").arg(QString::fromLocal8Bit(service_socket));
}

void Frm_Main::Show_Connection_State() {
  if (sts_Status == nullptr) return;
  // Sends and polls go to the selected row, whichever row discovery chose.
  QString state;
  if (Connected != Common::kFalse) {
    state = QStringLiteral("Connected to %1").arg(Selected_Device());
  } else if (!gone_note_.isEmpty()) {
    state = gone_note_;
  } else {
    state = QStringLiteral("Not connected: looking for instruments every 5 s");
  }
  lbl_Connection->setText(QStringLiteral("%1, through %2").arg(state, Kernel_Description(KernelServiceSocket())));
  lbl_Last_Error->setText(Last_Error.isEmpty() ? last_download_ : QStringLiteral("Last error: ") + Last_Error);
  lbl_Last_Error->setToolTip(Last_Error);
}

void Frm_Main::Instrument_Gone() {
  if (connected_device_.isEmpty() || !gone_note_.isEmpty()) return;
  gone_note_ = QStringLiteral("%1 disappeared at %2")
                   .arg(connected_device_, QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")));
  Show_Connection_State();
}

double Frm_Main::Status_Bar_Twips() const {
  return sts_Status != nullptr && act_Status_Bar->isChecked() ? sts_Status->sizeHint().height() * kTwipsPerPixel : 0;
}

void Frm_Main::Place_Status_Bar() {
  if (sts_Status == nullptr || !act_Status_Bar->isChecked()) return;
  const int bar = sts_Status->sizeHint().height();
  sts_Status->setGeometry(0, height() - bar, width(), bar);
  sts_Status->raise();
}

void Frm_Main::Refresh_Keeping_Selection() {
  const QString selected = Selected_Device();
  Refresh_Device_List();
  const QList<QListWidgetItem *> same = List_Devices->findItems(selected, Qt::MatchExactly);
  if (!same.isEmpty()) {
    List_Devices->setCurrentItem(same.first());
  } else if (Connected != Common::kFalse) {
    Set_Connected(Common::kFalse);  // its instrument went; discovery takes over
  }
}

QString Frm_Main::About_Text() const {
  QString keys;
  for (const QAction *action : {act_Log, act_Plot, act_Transcript, act_Status_Bar, act_Verify, act_Refresh, act_About}) {
    const QString key = action->shortcut().isEmpty() ? QStringLiteral("menu") : action->shortcut().toString(QKeySequence::NativeText);
    keys += QStringLiteral("  %1\t%2\n").arg(key, QString(action->text()).remove(QLatin1Char('&')));
  }
  return QStringLiteral(
             "Pipe_Console %1, the console of the Tavrin instruments.\n\n"
             "Settings: %2\nCommand history: %3\nInstruments served by %4\n\n"
             "Keys (and the window's context menu, right button):\n%5"
             "  Enter\tSend the command\n  Up, Down\tEarlier and later commands\n"
             "  Alt + underlined letter\tThat control")
      .arg(QStringLiteral(TAVRIN_VERSION), QDir::toNativeSeparators(settings_->File_Name()),
           QDir::toNativeSeparators(Common::History_File_Path), Kernel_Description(KernelServiceSocket()), keys);
}
