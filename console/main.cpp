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
#include <cstring>

namespace {

void DescribeOptions(QCommandLineParser &parser, const QCommandLineOption &simulate) {
  parser.setApplicationDescription(QStringLiteral("Console of the Tavrin instruments"));
  parser.addHelpOption();
  parser.addOption(simulate);
}

bool AsksForHelp(int argc, char *argv[]) {
  for (int i = 1; i < argc; ++i) {
    for (const char *help : {"-h", "--help", "-?", "--help-all"}) {
      if (std::strcmp(argv[i], help) == 0) return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char *argv[]) {
  QCoreApplication::setApplicationName(QStringLiteral("Pipe_Console"));
  const QCommandLineOption simulate(QStringLiteral("simulate"),
                                    QStringLiteral("Attach <n> substitute instruments (as TAVRIN_SIMULATE=<n>)."),
                                    QStringLiteral("n"));
  // The help is printed without a display: QApplication would need one
  // before the options are read.
  if (AsksForHelp(argc, argv)) {
    QCoreApplication textOnly(argc, argv);
    QCommandLineParser parser;
    DescribeOptions(parser, simulate);
    parser.process(textOnly);  // prints the help and exits
    return 0;
  }

  QApplication application(argc, argv);
  QCommandLineParser parser;
  DescribeOptions(parser, simulate);
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
