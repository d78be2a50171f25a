// Pipe_Console: the windowed console of the Tavrin instruments.
//
//   Pipe_Console [--simulate N]
//
// --simulate N attaches N substitute instruments when the embedded system
// boots (as TAVRIN_SIMULATE=N does); it is set before the library's first call.
#include "frm_main.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pipe_Console"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Console of the Tavrin instruments"));
  parser.addHelpOption();
  const QCommandLineOption simulate(QStringLiteral("simulate"),
                                    QStringLiteral("Attach <n> substitute instruments (as TAVRIN_SIMULATE=<n>)."),
                                    QStringLiteral("n"));
  parser.addOption(simulate);
  parser.process(application);
  if (parser.isSet(simulate)) {
    bool ok = false;
    const int count = parser.value(simulate).toInt(&ok);
    if (!ok || count < 0) {
      std::fprintf(stderr, "Pipe_Console: --simulate takes a number of instruments, not \"%s\"\n",
                   qPrintable(parser.value(simulate)));
      return 2;
    }
    qputenv("TAVRIN_SIMULATE", QByteArray::number(count));
  }

  Frm_Main form;
  QObject::connect(&form, &Frm_Main::Program_Ended, &application,
                   [](int exit_code) { QCoreApplication::exit(exit_code); });
  if (!form.Form_Load()) return 1;
  form.show();
  return QApplication::exec();
}
