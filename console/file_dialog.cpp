#include "file_dialog.h"

#include "common.h"

#include <QFileDialog>
#include <QFileInfo>

QStringList Qt_File_Dialog::Name_Filters(const QString &filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const QString &pattern : parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const QString trimmed = pattern.trimmed();
      patterns.append(trimmed == QStringLiteral("*.*") ? QStringLiteral("*") : trimmed);
    }
    filters.append(parts.at(i) + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')'));
  }
  return filters;
}

bool Qt_File_Dialog::ShowOpen(QWidget *parent) { return Show(parent, true); }

bool Qt_File_Dialog::ShowSave(QWidget *parent) { return Show(parent, false); }

bool Qt_File_Dialog::Show(QWidget *parent, bool open) {
  QFileDialog dialog(parent, DialogTitle);
  dialog.setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
  // The filter's entries show by their descriptions alone.
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  const QStringList filters = Name_Filters(Filter);
  if (!filters.isEmpty()) dialog.setNameFilters(filters);
  if (!FileName.isEmpty()) {
    const QFileInfo previous(FileName);
    dialog.setDirectory(previous.absolutePath());
    dialog.selectFile(previous.fileName());
  }
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.first().isEmpty()) return false;
  FileName = chosen.first();
  return true;
}
