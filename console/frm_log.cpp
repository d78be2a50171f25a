#include "frm_log.h"

#include "file_dialog.h"
#include "message_box.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

namespace {

const char *const kChannelTags[] = {"CMD >", "INT <", "FMT <", "NOTE:"};
const char *const kChannelNames[] = {"&Command", "&Interrogative", "&Formatted"};

QString Escaped(const QString &text) {
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    const char16_t code = c.unicode();
    if (code == '\n') {
      out += QStringLiteral("\\n");
    } else if (code == '\r') {
      out += QStringLiteral("\\r");
    } else if (code == '\\') {
      out += QStringLiteral("\\\\");
    } else if (code < 0x20 || code == 0x7F) {
      out += QStringLiteral("\\x") + QString::number(code, 16).rightJustified(2, QLatin1Char('0')).toUpper();
    } else {
      out += c;
    }
  }
  return out;
}

QString Hex(const QString &text) {
  QByteArray bytes;
  QString characters;
  bytes.reserve(text.size());
  for (const QChar c : text) {
    const char16_t code = c.unicode() & 0xFF;
    bytes.append(static_cast<char>(code));
    characters += (code >= 0x20 && code < 0x7F) ? QChar(code) : QLatin1Char('.');
  }
  return QString::fromLatin1(bytes.toHex(' ').toUpper()) + QStringLiteral("  |") + characters + QLatin1Char('|');
}

}  // namespace

Frm_Log::Frm_Log(File_Dialog *dialog, Message_Box *messages, QWidget *parent)
    : QWidget(parent, Qt::Window), dialog_(dialog), messages_(messages) {
  setObjectName(QStringLiteral("frm_Log"));
  setWindowTitle(QStringLiteral("Tavrin - Log"));
  txt_Log = new QPlainTextEdit(this);
  txt_Log->setObjectName(QStringLiteral("txt_Log"));
  txt_Log->setReadOnly(true);
  txt_Log->setLineWrapMode(QPlainTextEdit::NoWrap);
  txt_Log->setFont(QFont(QStringLiteral("Monospace")));

  auto *row = new QHBoxLayout;
  for (int i = 0; i < 3; ++i) {
    chk_Channel[i] = new QCheckBox(QString::fromLatin1(kChannelNames[i]), this);
    chk_Channel[i]->setObjectName(QStringLiteral("chk_Channel"));
    chk_Channel[i]->setChecked(true);
    connect(chk_Channel[i], &QCheckBox::toggled, this, &Frm_Log::Refill);
    row->addWidget(chk_Channel[i]);
  }
  chk_Hex = new QCheckBox(QStringLiteral("&Hex"), this);
  chk_Hex->setObjectName(QStringLiteral("chk_Hex"));
  connect(chk_Hex, &QCheckBox::toggled, this, &Frm_Log::Refill);
  row->addWidget(chk_Hex);
  row->addStretch();
  cmd_Clear = new QPushButton(QStringLiteral("C&lear"), this);
  cmd_Clear->setObjectName(QStringLiteral("cmd_Clear"));
  connect(cmd_Clear, &QPushButton::clicked, this, &Frm_Log::cmd_Clear_Click);
  row->addWidget(cmd_Clear);
  cmd_Save = new QPushButton(QStringLiteral("&Save..."), this);
  cmd_Save->setObjectName(QStringLiteral("cmd_Save"));
  connect(cmd_Save, &QPushButton::clicked, this, &Frm_Log::cmd_Save_Click);
  row->addWidget(cmd_Save);

  lbl_Kept = new QLabel(QStringLiteral("Keeps the newest transfers, up to %1 MB, also while this window is closed; "
                                       "a long transfer shows its first %2 bytes and its length.")
                            .arg(kMaxBytes / (1024 * 1024))
                            .arg(kShownBytes),
                        this);
  lbl_Kept->setObjectName(QStringLiteral("lbl_Kept"));
  lbl_Kept->setWordWrap(true);

  auto *column = new QVBoxLayout(this);
  column->addLayout(row);
  column->addWidget(txt_Log);
  column->addWidget(lbl_Kept);
  resize(640, 360);
}

QString Frm_Log::Line(const Entry &entry, bool hex) {
  const QString shown = entry.Channel == kNoteChannel ? entry.Text : entry.Text.left(kShownBytes);
  QString line = entry.Time.toString(QStringLiteral("HH:mm:ss.zzz ")) + entry.Device + QLatin1Char(' ') +
                 QString::fromLatin1(kChannelTags[entry.Channel]) + QLatin1Char(' ') +
                 (hex && entry.Channel != kNoteChannel ? Hex(shown) : Escaped(shown));
  const qsizetype length = entry.Length < 0 ? entry.Text.size() : entry.Length;
  if (shown.size() < length) line += QStringLiteral(" ... (%1 bytes)").arg(length);
  if (!entry.Ok) line += QStringLiteral("  (not sent)");
  return line;
}

bool Frm_Log::Shown(const Entry &entry) const {
  return entry.Channel == kNoteChannel || chk_Channel[static_cast<std::size_t>(entry.Channel)]->isChecked();
}

void Frm_Log::Add_Note(const QString &device, const QString &text) {
  Add({QDateTime::currentDateTime(), kNoteChannel, device, text, true});
}

std::size_t Frm_Log::Bytes_Of(const Entry &entry) {
  return sizeof(Entry) + static_cast<std::size_t>(entry.Text.capacity() + entry.Device.capacity()) * sizeof(QChar);
}

void Frm_Log::Add(const Entry &transfer) {
  Entry entry = transfer;
  if (entry.Length < 0) entry.Length = entry.Text.size();
  if (entry.Channel != kNoteChannel) entry.Text = entry.Text.left(kShownBytes);
  entry.Text.squeeze();
  entries_.push_back(entry);
  stored_bytes_ += Bytes_Of(entry);
  while (stored_bytes_ > kMaxBytes) {
    stored_bytes_ -= Bytes_Of(entries_.front());
    entries_.pop_front();
  }
  // The shown lines are at most the kept entries.
  txt_Log->setMaximumBlockCount(static_cast<int>(entries_.size()));
  if (!isVisible() || !Shown(entry)) return;
  QScrollBar *bar = txt_Log->verticalScrollBar();
  const bool at_end = bar->value() == bar->maximum();
  txt_Log->appendPlainText(Line(entry, chk_Hex->isChecked()));
  if (at_end) bar->setValue(bar->maximum());  // follows the newest unless the user scrolled back
}

void Frm_Log::Refill() {
  txt_Log->clear();
  QStringList lines;
  for (const Entry &entry : entries_) {
    if (Shown(entry)) lines.append(Line(entry, chk_Hex->isChecked()));
  }
  if (!lines.isEmpty()) txt_Log->setPlainText(lines.join(QLatin1Char('\n')));
}

void Frm_Log::cmd_Clear_Click() {
  entries_.clear();
  stored_bytes_ = 0;
  txt_Log->clear();
}

void Frm_Log::cmd_Save_Click() {
  dialog_->DialogTitle = QStringLiteral("Save Log");
  dialog_->Filter = QStringLiteral("Log files (*.log)|*.log|All files|*.*");
  if (dialog_->ShowSave(this)) Save_To(dialog_->FileName);
}

bool Frm_Log::Save_To(const QString &path) {
  QFile file(path);
  QByteArray contents = txt_Log->toPlainText().toUtf8();
  if (!contents.isEmpty()) contents += '\n';
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size() ||
      !file.flush()) {
    messages_->Show(this, QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    return false;
  }
  return true;
}

void Frm_Log::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  Refill();
}

void Frm_Log::closeEvent(QCloseEvent *event) {
  QWidget::closeEvent(event);
  emit Closed();
}
