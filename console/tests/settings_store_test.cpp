// The settings store: names matched without regard to case, defaults, and
// values that persist from one store object to the next.
#include "test_support.h"

#include <QDir>
#include <QSettings>
#include <QTest>

namespace {

class Settings_Store_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() { file_ = QDir(directory_.path()).filePath(QStringLiteral("store.ini")); QFile::remove(file_); }

  void An_absent_entry_gives_its_default() {
    Settings_Store store(file_);
    QCOMPARE(store.Get_Setting(QStringLiteral("Position"), QStringLiteral("Height"), QStringLiteral("11000")),
             QStringLiteral("11000"));
    QCOMPARE(store.Get_Setting(QStringLiteral("FileName"), QStringLiteral("IP")), QString());
  }

  void Names_match_without_regard_to_case() {
    Settings_Store store(file_);
    store.Save_Setting(QStringLiteral("FileName"), QStringLiteral("DSP"), QStringLiteral("/images/dsp.bin"));
    QCOMPARE(store.Get_Setting(QStringLiteral("FileName"), QStringLiteral("DSp")), QStringLiteral("/images/dsp.bin"));
    QCOMPARE(store.Get_Setting(QStringLiteral("filename"), QStringLiteral("dsp")), QStringLiteral("/images/dsp.bin"));
  }

  void A_differently_spelled_name_keeps_the_stored_entry() {
    Settings_Store store(file_);
    store.Save_Setting(QStringLiteral("Position"), QStringLiteral("Top"), QStringLiteral("1"));
    store.Save_Setting(QStringLiteral("POSITION"), QStringLiteral("top"), QStringLiteral("2"));
    QSettings raw(file_, QSettings::IniFormat);
    QCOMPARE(raw.childGroups(), QStringList{QStringLiteral("Position")});
    raw.beginGroup(QStringLiteral("Position"));
    QCOMPARE(raw.childKeys(), QStringList{QStringLiteral("Top")});
    QCOMPARE(raw.value(QStringLiteral("Top")).toString(), QStringLiteral("2"));
  }

  void Values_persist_and_keep_their_text() {
    {
      Settings_Store store(file_);
      store.Save_Setting(QStringLiteral("FileName"), QStringLiteral("IP"), QStringLiteral("/fw/ip, v2.bin"));
      store.Save_Setting(QStringLiteral("Position"), QStringLiteral("Left"), QStringLiteral("-1500"));
    }
    Settings_Store again(file_);
    QCOMPARE(again.Get_Setting(QStringLiteral("FileName"), QStringLiteral("IP")), QStringLiteral("/fw/ip, v2.bin"));
    QCOMPARE(again.Get_Setting(QStringLiteral("Position"), QStringLiteral("Left")), QStringLiteral("-1500"));
  }

  void The_users_store_belongs_to_application_Tavrin() {
    Settings_Store store;
    QVERIFY(store.File_Name().endsWith(QStringLiteral("Tavrin/Tavrin.ini")));
  }

 private:
  QTemporaryDir directory_;
  QString file_;
};

}  // namespace

int Run_Settings_Store_Tests(int argc, char **argv) {
  Settings_Store_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "settings_store_test.moc"
