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
    QVERIFY2(session.err.contains("41%  1024 of 2500 bytes, ") && session.err.contains("\n82%  2048 of 2500 bytes, ") &&
                 session.err.contains("\n100%  2500 of 2500 bytes, "),
             session.err.constData());
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

  void monitorSaysWhenItsInstrumentGoesAway() {
    // The final answer of a download with RESET restarts the instrument once
    // it is read: here by the monitor itself.
    QString image = WriteFile(QByteArray(100, 'r'));
    Outcome session = Run({"shell"}, "write TAVRIN-0 DL,DSP,RESET\n"
                                     "read TAVRIN-0 interrogative --timeout 1000\n"
                                     "write TAVRIN-0 --file " + image.toLocal8Bit() + "\n"
                                     "monitor TAVRIN-0 --timeout 20000\n", 1);
    QCOMPARE(session.status, 4);
    QCOMPARE(session.out, QByteArray("0\nI> 0\n"));
    QVERIFY2(session.err.contains("line 4: monitoring ended: TAVRIN-0 went away"), session.err.constData());
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

  void nothingToSendIsAUsageErrorAndStandardInputIsAFile() {
    Outcome emptyFile = Run({"write", "TAVRIN-0", "--file", WriteFile({})});
    QCOMPARE(emptyFile.status, 2);
    QVERIFY2(emptyFile.err.contains("nothing to send"), emptyFile.err.constData());
    Outcome emptyText = Run({"write", "TAVRIN-0", "", "--no-newline"});
    QCOMPARE(emptyText.status, 2);
    QVERIFY(emptyText.err.contains("nothing to send"));
    QCOMPARE(Run({"write", "TAVRIN-0", "--file", "-"}).status, 2);  // empty standard input

    QJsonObject piped = QJsonDocument::fromJson(Run({"--json", "write", "TAVRIN-0", "--file", "-"}, "ECHO piped\n").out).object();
    QCOMPARE(piped.value("ok").toBool(), true);
    QCOMPARE(piped.value("bytes").toInt(), 11);
    Outcome flood = Run({"write", "TAVRIN-0", "--file", "-"}, QByteArray(70000, 'x'));
    QCOMPARE(flood.status, 2);
    QVERIFY(flood.err.contains("at most 65535 bytes; standard input has more"));
    // In the shell standard input holds the commands themselves.
    QCOMPARE(Run({"shell"}, "write TAVRIN-0 --file -\n").status, 2);

    // A file too large for one write is refused by its size: a terabyte that
    // would not fit in memory is never read.
    QString huge = dir.filePath("huge.bin");
    QFile sparse(huge);
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(1) << 40));
    sparse.close();
    Outcome refused = Run({"write", "TAVRIN-0", "--file", huge});
    QCOMPARE(refused.status, 2);
    QVERIFY2(refused.err.contains("has 1099511627776"), refused.err.constData());
    QFile::remove(huge);
  }

  void mistakesAreNamedWhereTheyAre() {
    Outcome version = Run({"--version"});
    QCOMPARE(version.status, 0);
    QVERIFY(version.out.startsWith("tavrin "));
    Outcome typo = Run({"lst"});
    QCOMPARE(typo.status, 2);
    QVERIFY2(typo.err.contains("unknown command 'lst'; did you mean 'list'?"), typo.err.constData());
    QVERIFY(Run({"--json", "QUERY", "TAVRIN-0", "x"}).out.contains("unknown command 'QUERY'; did you mean 'query'?"));

    // Every failure in the shell names its line; an exit that cannot be done
    // as asked ends the session as a failure.
    Outcome session = Run({"shell"}, "query TAVRIN-0 'ECHO a'\nlst\nquery TAVRIN-0 x --timeout -1\nexit 300\nlist\n");
    QCOMPARE(session.status, 2);
    QCOMPARE(session.out, QByteArray("a\n"));
    QVERIFY2(session.err.contains("line 2: unknown command 'lst'"), session.err.constData());
    QVERIFY(session.err.contains("line 3: --timeout"));
    QVERIFY(session.err.contains("line 4: exit takes one status from 0 to 255"));
    QCOMPARE(Run({"shell"}, "exit 3 4\n").status, 2);
    QJsonObject json = QJsonDocument::fromJson(Run({"--json", "shell"}, "\nquery TAVRIN-7 x\n").out).object();
    QCOMPARE(json.value("line").toInt(), 2);
  }

  void shellStopsAtTheFirstFailureWhenAsked() {
    QByteArray script = "query TAVRIN-0 'ECHO a'\nquery TAVRIN-7 x\nquery TAVRIN-0 'ECHO b'\n";
    Outcome going = Run({"shell"}, script);
    QCOMPARE(going.status, 3);
    QCOMPARE(going.out, QByteArray("a\nb\n"));
    Outcome stopped = Run({"shell", "--stop-on-error"}, script);
    QCOMPARE(stopped.status, 3);
    QCOMPARE(stopped.out, QByteArray("a\n"));
  }

  void longListingAndSerialNumbers() {
    Outcome plain = Run({"list", "--long"});
    QCOMPARE(plain.status, 0);
    QVERIFY2(plain.out.startsWith("TAVRIN-0  serial TVR00000  IP 1.0.0  DSP 1.0.0  FPGA 1.0.0  served by the embedded kernel\n"
                                  "TAVRIN-1  serial TVR00001  "),
             plain.out.constData());
    QVERIFY(plain.err.contains("served by"));
    QVERIFY(!Run({"list", "--quiet"}).err.contains("served by"));

    QJsonObject json = QJsonDocument::fromJson(Run({"--json", "list", "-l"}).out).object();
    QJsonObject second = json.value("instruments").toArray().at(1).toObject();
    QCOMPARE(second.value("name").toString(), QString("TAVRIN-1"));
    QCOMPARE(second.value("serial").toString(), QString("TVR00001"));
    QCOMPARE(second.value("versions").toObject().value("DSP").toString(), QString("1.0.0"));
    QCOMPARE(second.value("backend").toString(), QString("embedded"));
    QVERIFY(!second.contains("usb"));  // a simulated instrument is on no real bus

    Outcome bySerial = Run({"shell"}, "write --serial TVR00001 'ECHO one'\nread TAVRIN-1 interrogative --timeout 1000\n"
                                      "query TAVRIN-0 FW? --serial TVR00001\n");
    QCOMPARE(bySerial.status, 2);  // a name and a serial number at once
    QVERIFY(bySerial.out.startsWith("one\n"));
    QVERIFY(bySerial.err.contains("line 3:"));
    QVERIFY(bySerial.err.contains("with --serial, leave out the instrument's name"));
    Outcome unknown = Run({"info", "--serial", "TVR99999"});
    QCOMPARE(unknown.status, 3);
    QVERIFY(unknown.err.contains("no instrument with serial number TVR99999"));
    QCOMPARE(Run({"list", "--serial", "TVR00000"}).status, 2);
  }

  void longListingGivesTheUsbPlaceOfAnInstrumentPluggedIn() {
    // umockdev shows the program a sysfs in which a USB device with the
    // second instrument's identifiers and serial number sits on bus 3 at
    // address 7, as a real instrument plugged in would.
    if (QStandardPaths::findExecutable("umockdev-run").isEmpty()) QSKIP("umockdev-run is not installed");
    QString record = WriteFile("P: /devices/pci0000:00/usb3/3-2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                               "A: idVendor=1209\nA: idProduct=5701\nA: serial=TVR00001\nA: busnum=3\nA: devnum=7\n");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVRIN_SIMULATE", "2");
    // Under AddressSanitizer umockdev's preload library comes first.
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    process.setProcessEnvironment(environment);
    process.start("umockdev-run", {"-d", record, "--", QString::fromLocal8Bit(TAVRIN_PROGRAM), "--json", "list", "--long"});
    QVERIFY(process.waitForFinished(30000));
    QJsonArray instruments = QJsonDocument::fromJson(process.readAllStandardOutput()).object().value("instruments").toArray();
    QCOMPARE(instruments.size(), 2);
    QVERIFY(!instruments.at(0).toObject().contains("usb"));
    QJsonObject usb = instruments.at(1).toObject().value("usb").toObject();
    QCOMPARE(usb.value("bus").toInt(), 3);
    QCOMPARE(usb.value("address").toInt(), 7);
  }

  void completionQuotesCommandsThatLookLikePatterns() {
    auto complete = [](const QString &word) {
      QProcess bash;
      bash.start("bash", {"-c", "source \"$0\"; COMP_WORDS=(tavrin query TAVRIN-0 \"$1\"); COMP_CWORD=3; _tavrin;"
                               " printf '%s\\n' \"${COMPREPLY[@]}\"",
                          QString(TAVRIN_COMPLETION), word});
      bash.waitForFinished(10000);
      return bash.readAllStandardOutput();
    };
    QCOMPARE(complete(""), QByteArray("'*IDN?'\n'*RST'\n'MEAS?'\n'FW?'\n"));
    QCOMPARE(complete("'*I"), QByteArray("'*IDN?'\n"));
    QCOMPARE(complete("F"), QByteArray("'FW?'\n"));
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

 private:
  // Runs tavrin on one simulated instrument, sends it SIGINT once standard
  // error shows `cue`, and gives back its exit status and standard error.
  Outcome InterruptedAt(const QStringList &arguments, const QByteArray &cue) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVRIN_SIMULATE", "1");
    process.setProcessEnvironment(environment);
    process.start(QString::fromLocal8Bit(TAVRIN_PROGRAM), arguments);
    process.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains(cue) && process.waitForReadyRead(30000)) err += process.readAllStandardError();
    if (!err.contains(cue)) qWarning("never saw the cue: %s", err.constData());
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    if (!process.waitForFinished(30000)) process.kill();
    err += process.readAllStandardError();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(), err};
  }

 private slots:
  void interruptedDownloadExplainsThePartialImage() {
    // The first progress line shows the image is being sent.
    QString image = WriteFile(QByteArray(8 << 20, 'p'));
    Outcome sending = InterruptedAt({"download", "TAVRIN-0", image, "--type", "dsp"}, "%");
    QCOMPARE(sending.status, 130);
    QVERIFY2(sending.err.contains("interrupted: TAVRIN-0 holds a partial DSP image"), sending.err.constData());
    QVERIFY(sending.err.contains("download the image again to recover"));
  }

  void interruptedWaitsAfterTheImageEndAtOnce() {
    // The instrument ends an image a second after its last byte and only
    // then answers: Ctrl-C when the progress shows 100% lands in that wait.
    QString image = WriteFile(QByteArray(3000, 'w'));
    Outcome answer = InterruptedAt({"download", "TAVRIN-0", image, "--type", "dsp", "--no-reset"}, "100%");
    QCOMPARE(answer.status, 130);
    QVERIFY2(answer.err.contains("interrupted while waiting for TAVRIN-0's final answer"), answer.err.constData());
    QVERIFY(answer.err.contains("FW?"));
    QVERIFY(answer.out.isEmpty());

    // A restarting instrument stays away for a second.
    Outcome restart = InterruptedAt({"download", "TAVRIN-0", image, "--type", "fpga"}, "to restart");
    QCOMPARE(restart.status, 130);
    QVERIFY2(restart.err.contains("interrupted while waiting for TAVRIN-0 to restart: the FPGA image is stored"),
             restart.err.constData());
  }

  void verifyComparesWhatTheInstrumentHoldsWithTheFile() {
    QByteArray bytes(2500, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7) & 0xFF);
    QString image = WriteFile(bytes);
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08lX", crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), 2500));
    Outcome verified = Run({"download", "TAVRIN-0", image, "--type", "dsp", "--verify"}, {}, 1);
    QCOMPARE(verified.status, 0);
    QCOMPARE(verified.out, "Complete\nVerified: TAVRIN-0 holds the DSP image, 2500 bytes, CRC-32 " + QByteArray(crc) + "\n");
    // The progress line says how many bytes went and how fast.
    QVERIFY2(verified.err.contains("100%  2500 of 2500 bytes"), verified.err.constData());
    QCOMPARE(Run({"download", "TAVRIN-0", image, "--type", "dsp", "--verify", "--no-wait"}).status, 2);

    // The file changes after it was sent (here while the final answer is
    // awaited): the instrument does not hold what the file now says.
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVRIN_SIMULATE", "1");
    process.setProcessEnvironment(environment);
    process.start(QString::fromLocal8Bit(TAVRIN_PROGRAM), {"download", "TAVRIN-0", image, "--type", "dsp", "--no-reset", "--verify"});
    process.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains("100%") && process.waitForReadyRead(30000)) err += process.readAllStandardError();
    QFile changed(image);
    QVERIFY(changed.open(QIODevice::WriteOnly | QIODevice::Append));
    changed.write("more");
    changed.close();
    QVERIFY(process.waitForFinished(30000));
    err += process.readAllStandardError();
    QCOMPARE(process.exitCode(), 6);
    QVERIFY2(err.contains(image.toLocal8Bit() + " has 2504 bytes, CRC-32 "), err.constData());
    QVERIFY(err.contains("but TAVRIN-0 holds 2500 bytes, CRC-32 " + QByteArray(crc) + " as its DSP image"));
    QVERIFY(process.readAllStandardOutput().isEmpty());
  }
};

}  // namespace

QTEST_GUILESS_MAIN(CliTest)
#include "cli_test.moc"
