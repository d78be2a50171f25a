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
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVRIN_SIMULATE", QString::number(simulate));
    process.setProcessEnvironment(environment);
    process.start(QString::fromLocal8Bit(TAVRIN_PROGRAM), arguments);
    process.write(input);
    process.closeWriteChannel();
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
    QJsonDocument document = QJsonDocument::fromJson(json.out);
    QVERIFY(document.isArray());
    QCOMPARE(document.array().size(), 3);
    QCOMPARE(document.array().at(2).toString(), QString("TAVRIN-2"));
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
    QVERIFY(session.out.contains("41%\n82%\n100%\nComplete\n"));
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
    QCOMPARE(error.value("status").toInt(), 3);
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
};

}  // namespace

QTEST_GUILESS_MAIN(CliTest)
#include "cli_test.moc"
