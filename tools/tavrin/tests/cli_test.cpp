// tavrin run as a process against simulated instruments: listing, queries, a
// download confirmed by FW? in the same shell session, each failure's exit
// status and message, and JSON that parses.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <zlib.h>

namespace {

struct Outcome {
  int status;
  QByteArray out;
  QByteArray err;
};

class CliTest : public QObject {
  Q_OBJECT

 private:
  Outcome Run(const QStringList &arguments, const QByteArray &input = {}, int simulate = 2) {
    return RunWith(QString::number(simulate), arguments, input);
  }

  // Runs with TAVRIN_SIMULATE set to `simulate`; standard input is `input`,
  // or the file `inputFile` when one is named.
  Outcome RunWith(const QString &simulate, const QStringList &arguments, const QByteArray &input = {},
                  const QString &inputFile = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVRIN_SIMULATE", simulate);
    process.setProcessEnvironment(environment);
    if (!inputFile.isEmpty()) process.setStandardInputFile(inputFile);
    process.start(QString::fromLocal8Bit(TAVRIN_PROGRAM), arguments);
    if (inputFile.isEmpty()) {
      process.write(input);
      process.closeWriteChannel();
    }
    if (!process.waitForFinished(60000)) process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
  }

  QString WriteFile(const QByteArray &bytes) {
    QString path = dir.filePath(QString("image-%1.bin").arg(files++));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
  }

  QTemporaryDir dir;
  int files = 0;

 private slots:
  void listsThePresentInstruments() {
    Outcome plain = Run({"list"});
    QCOMPARE(plain.status, 0);
    QCOMPARE(plain.out, QByteArray("TAVRIN-0\nTAVRIN-1\n"));
    Outcome json = Run({"--json", "list"}, {}, 3);
    QCOMPARE(json.status, 0);
    QJsonObject document = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(document.value("ok").toBool(), true);
    QCOMPARE(document.value("instruments").toArray().size(), 3);
    QCOMPARE(document.value("instruments").toArray().at(2).toString(), QString("TAVRIN-2"));
    QCOMPARE(Run({"list"}, {}, 0).out, QByteArray());
  }

  void queryAnswersWithTheInstrumentsIdentity() {
    Outcome identity = Run({"query", "TAVRIN-1", "*IDN?"});
    QCOMPARE(identity.status, 0);
    QCOMPARE(identity.out, QByteArray("TAVRIN,570x,TVR00001,IP 1.0.0,DSP 1.0.0,FPGA 1.0.0\n"));
    Outcome json = Run({"--json", "query", "TAVRIN-0", "ECHO say \"hi\""});
    QJsonObject answer = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(answer.value("answer").toString(), QString("say \"hi\"\n"));
  }

  void downloadIsConfirmedByTheInstrumentInTheSameShell() {
    QByteArray image(2500, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 31) & 0xFF);
    QString path = WriteFile(image);
    QByteArray script = "download TAVRIN-0 " + path.toLocal8Bit() + " --type dsp --no-reset\nquery TAVRIN-0 FW?\n";
    Outcome session = Run({"shell"}, script);
    QCOMPARE(session.status, 0);
    char expected[96];
    std::snprintf(expected, sizeof expected, "IP 0 00000000,DSP 2500 %08lX,FPGA 0 00000000\n",
                  crc32(0, reinterpret_cast<const Bytef *>(image.constData()), static_cast<uInt>(image.size())));
    QVERIFY2(session.out.endsWith(expected), session.out.constData());
    // Progress goes to standard error, the outcome to standard output.
    QVERIFY(session.err.contains("41%\n82%\n100%\n"));
    QVERIFY(session.out.startsWith("Complete\n"));
  }

  // An answer nobody read ("1.0.0" and a line feed holds "0" and a line
  // feed) is dropped before the download line, not taken for its
  // acknowledgement; --verbose says what was dropped.
  void aStaleAnswerIsNoAcknowledgement() {
    QByteArray image(2500, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 7) & 0xFF);
    QString path = WriteFile(image);
    QByteArray script = "write TAVRIN-0 *IDN?\ndownload TAVRIN-0 " + path.toLocal8Bit() +
                        " --type dsp --no-reset\nquery TAVRIN-0 FW?\n";
    Outcome session = Run({"--verbose", "shell"}, script);
    QCOMPARE(session.status, 0);
    QVERIFY2(session.out.contains(",DSP 2500 "), session.out.constData());
    QVERIFY2(session.err.contains("discarded 51 unread bytes from the interrogative channel: "
                                  "TAVRIN,570x,TVR00000,IP 1.0.0,DSP 1.0.0,FPGA 1.0.0"),
             session.err.constData());
  }

  void failuresHaveDistinctStatusesAndMessages() {
    Outcome missing = Run({"query", "TAVRIN-7", "*IDN?"});
    QCOMPARE(missing.status, 3);
    QVERIFY(missing.err.contains("no instrument named TAVRIN-7"));

    Outcome noFile = Run({"download", "TAVRIN-0", dir.filePath("absent.bin"), "--type", "ip"});
    QCOMPARE(noFile.status, 7);
    QVERIFY(noFile.err.contains("Unable to locate file: " + dir.filePath("absent.bin").toLocal8Bit()));
    QCOMPARE(Run({"download", "TAVRIN-0", dir.path(), "--type", "ip"}).status, 7);

    Outcome badType = Run({"download", "TAVRIN-0", WriteFile("x"), "--type", "dram"});
    QCOMPARE(badType.status, 2);
    QCOMPARE(Run({"frobnicate"}).status, 2);
    QCOMPARE(Run({"read", "TAVRIN-0", "sideways"}).status, 2);

    // A query the instrument never answers times out.
    Outcome silent = Run({"query", "TAVRIN-0", "*RST", "--timeout", "50"});
    QCOMPARE(silent.status, 5);
    QVERIFY(silent.err.contains("Timed out"));

    Outcome json = Run({"--json", "write", "TAVRIN-9", "*RST"});
    QCOMPARE(json.status, 3);
    QJsonObject error = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(error.value("ok").toBool(true), false);
    QCOMPARE(error.value("exit_status").toInt(), 3);
  }

  void infoDecodesTheInterfaceRecord() {
    Outcome json = Run({"--json", "info", "TAVRIN-0"});
    QCOMPARE(json.status, 0);
    QJsonObject info = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(info.value("driverVersion").toString(), QString("1.2.0"));
    QJsonArray pipes = info.value("interface").toObject().value("pipes").toArray();
    QCOMPARE(pipes.size(), 3);
    QCOMPARE(pipes.at(0).toObject().value("direction").toString(), QString("out"));
    QCOMPARE(pipes.at(1).toObject().value("endpointAddress").toInt(), 0x81);
    QCOMPARE(pipes.at(2).toObject().value("maximumTransferSize").toInt(), 65535);
    QVERIFY(info.value("frameNumber").toInt() > 0);
    QCOMPARE(info.value("strings").toArray().at(0).toObject().value("text").toString(), QString("Tavrin"));
    Outcome plain = Run({"info", "TAVRIN-1"});
    QVERIFY(plain.out.contains("pipe 1                endpoint 81 in  bulk"));
  }

  void readAndWriteReachBothChannels() {
    Outcome session = Run({"shell"}, "write TAVRIN-0 \"FMT 2\"\nread TAVRIN-0 formatted\nread TAVRIN-0 interrogative\n");
    QCOMPARE(session.status, 0);
    QCOMPARE(session.out, QByteArray("FMT 1 of 2: +1.000000E+00\nFMT 2 of 2: +2.000000E+00\n"));
  }
  void namesMatchWithoutRegardToLetterCase() {
    QString image = WriteFile(QByteArray(1500, 'x'));
    Outcome session = Run({"shell"}, "write tavrin-0 'ECHO one'\n"
                                     "read tavrin-0 interrogative --timeout 1000\n"
                                     "write Tavrin-0 'ECHO two'\n"
                                     "monitor tavrin-0 --timeout 300\n"
                                     "info tavrin-1\n"
                                     "download tavrin-1 " + image.toLocal8Bit() + " --type DSP --no-reset\n"
                                     "query tAvRiN-1 FW?\n");
    QCOMPARE(session.status, 0);
    QVERIFY2(session.out.startsWith("one\nI> two\nTAVRIN-1"), session.out.constData());
    QVERIFY(session.out.contains("Complete\nIP 0 00000000,DSP 1500 "));
  }

  void monitorPrintsEachLineWithItsChannel() {
    QByteArray longText(200, 'a');
    for (int i = 0; i < longText.size(); ++i) longText[i] = static_cast<char>('a' + i % 26);
    Outcome session = Run({"shell"}, "write TAVRIN-0 'ECHO " + longText + "'\n"
                                     "write TAVRIN-0 'FMT 2'\n"
                                     "write TAVRIN-0 'ECHO caf\xE9\tx\\y'\n"
                                     "monitor TAVRIN-0 --timeout 300\n");
    QCOMPARE(session.status, 0);
    QByteArray expected = "I> " + longText + "\nI> caf\\xE9\tx\\\\y\n"
                          "F> FMT 1 of 2: +1.000000E+00\nF> FMT 2 of 2: +2.000000E+00\n";
    QByteArray interrogative, formatted;
    for (const QByteArray &line : session.out.split('\n')) (line.startsWith("F>") ? formatted : interrogative) += line + "\n";
    QCOMPARE(interrogative.trimmed() + "\n" + formatted.trimmed() + "\n", expected);

    Outcome json = Run({"shell", "--json"}, "write TAVRIN-0 'ECHO caf\xC3\xA9'\nmonitor TAVRIN-0 --timeout 200\n");
    QList<QByteArray> objects = json.out.trimmed().split('\n');
    QCOMPARE(objects.size(), 2);
    QJsonObject line = QJsonDocument::fromJson(objects.at(1)).object();
    QCOMPARE(line.value("channel").toString(), QString("interrogative"));
    QCOMPARE(line.value("text").toString(), QString::fromUtf8("caf\xC3\xA9\n"));
  }

  void shellSplitsLinesAsAPosixShellDoes() {
    Outcome session = Run({"shell"}, "# a comment line\r\n"
                                     "query TAVRIN-0 'ECHO hello'  # trailing comment\r\n"
                                     "query TAVRIN-0 \"ECHO say \\\"hi\\\" \\\\ 'there'\"\r\n"
                                     "tavrin query TAVRIN-0 ECHO\\ x\\'y\r\n"
                                     "sleep 20\r\n"
                                     "query TAVRIN-0 'ECHO unclosed\r\n"
                                     "exit\r\n"
                                     "query TAVRIN-0 'ECHO never'\r\n");
    QCOMPARE(session.out, QByteArray("hello\nsay \"hi\" \\ 'there'\nx'y\n"));
    QCOMPARE(session.status, 2);  // the unclosed quote; exit keeps the status
    QVERIFY(session.err.contains("line 6: no closing single quote"));
    QCOMPARE(Run({"shell"}, "exit 6\nlist\n").status, 6);

    // Standard input that cannot be read is an error, not an empty session.
    Outcome directory = RunWith("1", {"shell"}, {}, dir.path());
    QCOMPARE(directory.status, 7);
    QVERIFY(directory.err.contains("cannot read the commands"));
  }

  void jsonReportsEveryOutcomeAsOneObject() {
    auto object = [](const Outcome &outcome) {
      QJsonParseError error{};
      QJsonDocument document = QJsonDocument::fromJson(outcome.out, &error);
      return error.error == QJsonParseError::NoError && document.isObject() ? document.object() : QJsonObject{};
    };
    // Argument errors, wherever --json stands.
    for (const QStringList &arguments : {QStringList{"--json", "frobnicate"}, QStringList{"read", "TAVRIN-0", "--json"},
                                         QStringList{"query", "TAVRIN-0", "x", "--timeout", "-5", "--json"}}) {
      QJsonObject error = object(Run(arguments));
      QCOMPARE(error.value("ok").toBool(true), false);
      QCOMPARE(error.value("exit_status").toInt(), 2);
      QVERIFY(!error.value("error").toString().isEmpty());
    }
    // Options of the program after the command's name.
    Outcome after = Run({"query", "TAVRIN-2", "ECHO caf\xC3\xA9", "--simulate", "3", "--json"}, {}, 0);
    QCOMPARE(after.status, 0);
    QVERIFY2(after.out.contains("\"answer\":\"caf\xC3\xA9\\n\""), after.out.constData());
    QCOMPARE(object(after).value("answer").toString(), QString::fromUtf8("caf\xC3\xA9\n"));
    QVERIFY(!object(after).contains("answerEscaped"));

    // Bytes that are not UTF-8 are escaped, and the object says so.
    QJsonObject latin1 = object(Run({"--json", "shell"}, "query TAVRIN-0 'ECHO caf\xE9 \\'\n"));
    QCOMPARE(latin1.value("answer").toString(), QString("caf\\xE9 \\\\\n"));
    QCOMPARE(latin1.value("answerEscaped").toBool(), true);
    QCOMPARE(object(Run({"--json", "write", "TAVRIN-0", "*RST"})).value("ok").toBool(), true);
  }

  void writesAreBoundedAndMayComeFromAFile() {
    Outcome tooLong = Run({"write", "TAVRIN-0", "--file", WriteFile(QByteArray(65536, 'x'))});
    QCOMPARE(tooLong.status, 2);
    QVERIFY(tooLong.err.contains("at most 65535 bytes"));
    QCOMPARE(Run({"write", "TAVRIN-0", QString(65535, 'x'), "--no-newline"}).status, 0);
    QCOMPARE(Run({"write", "TAVRIN-0", "--file", dir.filePath("absent")}).status, 7);

    QString command = WriteFile("ECHO \x01\xFF\n");
    Outcome session = Run({"shell"}, "write TAVRIN-0 --file " + command.toLocal8Bit() + "\n"
                                     "read TAVRIN-0 interrogative --until-newline --timeout 1000 --hex\n"
                                     "read TAVRIN-0 interrogative --timeout 50\n");
    QCOMPARE(session.out, QByteArray("01 FF 0A\n"));
    QCOMPARE(session.status, 5);  // nothing more arrived in time
  }

  void queryIsNotAnsweredByAStaleAnswer() {
    Outcome session = Run({"shell"}, "write TAVRIN-0 *IDN?\nquery TAVRIN-0 'ECHO x' --verbose\n");
    QCOMPARE(session.status, 0);
    QCOMPARE(session.out, QByteArray("x\n"));
    QVERIFY(session.err.contains("discarded 51 unread bytes from the interrogative channel: TAVRIN,570x"));
  }

  void downloadWaitsForTheRestartedInstrument() {
    QString image = WriteFile(QByteArray(3000, 'i'));
    QByteArray download = "download TAVRIN-0 " + image.toLocal8Bit() + " --type fpga";
    Outcome waited = Run({"shell"}, download + "\nquery TAVRIN-0 FW?\n", 1);
    QCOMPARE(waited.status, 0);
    QVERIFY2(waited.out.startsWith("Complete\nIP 0 00000000,DSP 0 00000000,FPGA 3000 "), waited.out.constData());
    QVERIFY(waited.err.contains("waiting for TAVRIN-0 to restart"));
    Outcome hurried = Run({"shell"}, download + " --no-wait\nquery TAVRIN-0 FW?\n", 1);
    QVERIFY(hurried.status == 3 || hurried.status == 4);  // gone, or going
    QCOMPARE(Run({"download", "TAVRIN-0", image, "--type", "ip", "--wait", "5", "--no-wait"}).status, 2);

    // On a terminal the bar is redrawn in place and ends full, also when the
    // next-to-last write already shows "100%" (204,800 of 204,801 bytes).
    QString large = WriteFile(QByteArray(200 * 1024 + 1, 'b'));
    QProcess terminal;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVRIN_SIMULATE", "1");
    terminal.setProcessEnvironment(environment);
    terminal.start("script", {"-qec", QString("'%1' download TAVRIN-0 '%2' --type ip --no-reset")
                                          .arg(QString::fromLocal8Bit(TAVRIN_PROGRAM), large),
                              "/dev/null"});
    QVERIFY(terminal.waitForFinished(60000));
    QByteArray screen = terminal.readAllStandardOutput();
    QCOMPARE(terminal.exitCode(), 0);
    QVERIFY2(screen.contains("\r[" + QByteArray(40, '#') + "] 100%"), screen.constData());
  }

  void simulatedInstrumentsBeyondTheNamedOnesAreSaidSo() {
    Outcome many = Run({"--simulate", "12", "list"}, {}, 0);
    QCOMPARE(many.status, 0);
    QCOMPARE(many.out.count('\n'), 10);
    QVERIFY(many.err.contains("only TAVRIN-0 to TAVRIN-9 can be listed"));
    QVERIFY(!Run({"list"}, {}, 10).err.contains("warning"));
    for (QString invalid : {"abc", "-1", "65", "3x"}) {
      Outcome wrong = RunWith(invalid, {"list"});
      QCOMPARE(wrong.status, 2);
      QVERIFY(wrong.err.contains("TAVRIN_SIMULATE=" + invalid.toLocal8Bit() + " is not a number"));
    }
  }

  void interruptedDownloadExplainsThePartialImage() {
    QString image = WriteFile(QByteArray(8 << 20, 'p'));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVRIN_SIMULATE", "1");
    process.setProcessEnvironment(environment);
    process.start(QString::fromLocal8Bit(TAVRIN_PROGRAM), {"download", "TAVRIN-0", image, "--type", "dsp"});
    process.setReadChannel(QProcess::StandardError);
    QByteArray err;
    // The first progress line shows the image is being sent.
    while (!err.contains('%') && process.waitForReadyRead(30000)) err += process.readAllStandardError();
    QVERIFY(err.contains('%'));
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(30000));
    err += process.readAllStandardError();
    QCOMPARE(process.exitCode(), 130);
    QVERIFY2(err.contains("interrupted: TAVRIN-0 holds a partial DSP image"), err.constData());
    QVERIFY(err.contains("download the image again to recover"));
  }
};

}  // namespace

QTEST_GUILESS_MAIN(CliTest)
#include "cli_test.moc"
