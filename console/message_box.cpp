#include "message_box.h"

#include <QMessageBox>

void Qt_Message_Box::Show(QWidget *parent, const QString &text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok, parent);
  box.exec();
}
