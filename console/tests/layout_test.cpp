// Arrange_Controls: the numbers at the first-start size, rounding of the reply
// boxes' height, following the window's width and height, and windows too
// small for some rules.
#include "test_support.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <map>

namespace {

using Geometry = std::map<QString, Twips_Rect>;

class Layout_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    Use_Real_Library();
    console_ = std::make_unique<Console>();
    form_ = &console_->Start();
  }
  void cleanup() {
    form_ = nullptr;
    console_.reset();
  }

  void The_design_geometry_before_any_arrangement() {
    Frm_Main &form = console_->Start(false);
    QCOMPARE(form.Twips(form.lb_USB_I), (Twips_Rect{120, 0, 10215, 375}));
    QCOMPARE(form.Twips(form.Pic_Command), (Twips_Rect{120, 4200, 10215, 2655}));
    QCOMPARE(form.Twips(form.Opt_File_Type[0]), (Twips_Rect{120, 300, 1635, 255}));
    QCOMPARE(form.Twips(form.After_Download_Opt[1]), (Twips_Rect{120, 720, 1095, 255}));
    QCOMPARE(form.Twips(form.List_Devices), (Twips_Rect{8520, 240, 1575, 1035}));
    // Shown at 15 twips a pixel, relative to the container.
    QCOMPARE(form.Cmd_Exit->geometry(), QRect(616, 8, 57, 25));
    QCOMPARE(form.txt_Command->geometry(), QRect(8, 147, 601, 19));
  }

  void At_the_first_start_size_the_numbers_are_as_designed() {
    Frm_Main &form = *form_;
    QCOMPARE(form.Width(), 9500.0);
    QCOMPARE(form.Height(), 11000.0);
    for (QWidget *full : Full_Width()) QCOMPARE(form.Twips(full).Width, 9140.0);
    QCOMPARE(form.Twips(form.Cmd_Exit).Left, 8165.0);
    QCOMPARE(form.Twips(form.Cmd_Send).Left, 8165.0);
    QCOMPARE(form.Twips(form.lst_Commands).Width, 7925.0);
    QCOMPARE(form.Twips(form.txt_Command).Width, 7925.0);
    QCOMPARE(form.Twips(form.lbl_TA_Devices).Left, 7325.0);
    QCOMPARE(form.Twips(form.List_Devices).Left, 7325.0);
    QCOMPARE(form.Twips(form.Frm_After_Download).Left, 5150.0);
    QCOMPARE(form.Twips(form.Cmd_Send_File).Left, 5150.0);
    QCOMPARE(form.Twips(form.Frm_Code_Block).Width, 4910.0);
    for (QWidget *button : File_Buttons()) QCOMPARE(form.Twips(button).Left, 4415.0);
    for (QWidget *box : Location_Boxes()) QCOMPARE(form.Twips(box).Width, 3335.0);
    QCOMPARE(form.Twips(form.pic_FileName).Top, 8345.0);
    QCOMPARE(form.Twips(form.Pic_Command).Top, 5570.0);
    QCOMPARE(form.Twips(form.txt_USBF_Buffer).Height, 2290.0);
    QCOMPARE(form.Twips(form.txt_USBI_Buffer).Height, 2290.0);
    QCOMPARE(form.Twips(form.txt_USBF_Buffer).Top, 3160.0);
    QCOMPARE(form.Twips(form.lb_USB_F).Top, 2665.0);
    // What stays: the top reply box and every other left edge and height.
    QCOMPARE(form.Twips(form.txt_USBI_Buffer).Top, 360.0);
    QCOMPARE(form.Twips(form.lb_USB_I), (Twips_Rect{120, 0, 9140, 375}));
    QCOMPARE(form.Twips(form.txt_IP_Firmware_Location).Left, 960.0);
    QCOMPARE(form.Twips(form.Frm_After_Download).Height, 1185.0);
    // The widgets show the values rounded to pixels.
    QCOMPARE(form.Cmd_Exit->geometry(), QRect(544, 8, 57, 25));
    QCOMPARE(form.pic_FileName->geometry(), QRect(8, 556, 609, 137));
  }

  void An_exact_half_rounds_to_the_even_neighbour() {
    Frm_Main &form = *form_;
    form.Set_Height(11001);
    QCOMPARE(form.Twips(form.Pic_Command).Top, 5571.0);
    QCOMPARE(form.Twips(form.txt_USBF_Buffer).Height, 2290.0);  // 2290.5
    QCOMPARE(form.Twips(form.txt_USBI_Buffer).Height, 2290.0);
    form.Set_Height(11003);
    QCOMPARE(form.Twips(form.txt_USBF_Buffer).Height, 2292.0);  // 2291.5
    QCOMPARE(form.Twips(form.txt_USBI_Buffer).Height, 2292.0);
    QCOMPARE(form.Twips(form.txt_USBF_Buffer).Top, 5573.0 - 2292.0 - 120.0);
  }

  void Widening_moves_the_right_hand_controls_and_widens_the_rest() {
    Frm_Main &form = *form_;
    const Geometry before = Snapshot();
    form.Set_Width(9500 + 1500);
    const Geometry after = Snapshot();
    const QList<QWidget *> moved = {form.Cmd_Exit, form.Cmd_Send, form.lbl_TA_Devices, form.List_Devices,
                                    form.Frm_After_Download, form.Cmd_Send_File, form.Cmd_Get_IP_File_Name,
                                    form.Cmd_DSP_Get_File_Name, form.Cmd_FPGA_Get_File_Name};
    QList<QWidget *> widened = Full_Width() + Location_Boxes();
    widened += {form.lst_Commands, form.txt_Command, form.Frm_Code_Block};
    for (const auto &[name, rect] : before) {
      const Twips_Rect &now = after.at(name);
      const QWidget *control = form.findChild<QWidget *>(name);
      const double shift = moved.contains(control) ? 1500 : 0;
      const double growth = widened.contains(control) ? 1500 : 0;
      QVERIFY2(now.Left == rect.Left + shift, qPrintable(name));
      QVERIFY2(now.Width == rect.Width + growth, qPrintable(name));
      QVERIFY2(now.Top == rect.Top && now.Height == rect.Height, qPrintable(name));
    }
  }

  void Heightening_moves_the_bottom_areas_and_shares_the_rest() {
    Frm_Main &form = *form_;
    const Geometry before = Snapshot();
    form.Set_Height(11000 + 1000);
    const Geometry after = Snapshot();
    QCOMPARE(after.at("pic_FileName").Top, before.at("pic_FileName").Top + 1000);
    QCOMPARE(after.at("Pic_Command").Top, before.at("Pic_Command").Top + 1000);
    QCOMPARE(after.at("txt_USBI_Buffer").Height, before.at("txt_USBI_Buffer").Height + 500);
    QCOMPARE(after.at("txt_USBF_Buffer").Height, before.at("txt_USBF_Buffer").Height + 500);
    QCOMPARE(after.at("txt_USBI_Buffer").Top, 360.0);
    QCOMPARE(after.at("txt_USBF_Buffer").Top, before.at("txt_USBF_Buffer").Top + 500);
    QCOMPARE(after.at("lb_USB_F").Top, before.at("lb_USB_F").Top + 500);
    QCOMPARE(after.at("lst_Commands"), before.at("lst_Commands"));  // inside a container: unmoved
  }

  void Too_short_a_window_keeps_the_reply_boxes_heights() {
    Frm_Main &form = *form_;
    form.Set_Height(6000);  // B would be (570 - 990) / 2
    QCOMPARE(form.Twips(form.pic_FileName).Top, 3345.0);
    QCOMPARE(form.Twips(form.Pic_Command).Top, 570.0);
    QCOMPARE(form.Twips(form.txt_USBF_Buffer).Height, 2290.0);
    QCOMPARE(form.Twips(form.txt_USBI_Buffer).Height, 2290.0);
    // The rules after the refused one run with the height as it stands.
    QCOMPARE(form.Twips(form.txt_USBF_Buffer).Top, 570.0 - (2290 + 120));
    QCOMPARE(form.Twips(form.lb_USB_F).Top, 570.0 - (2290 + 120) - (375 + 120));
    form.Set_Height(3000);
    QCOMPARE(form.Twips(form.pic_FileName).Top, 345.0);
    QCOMPARE(form.Twips(form.Pic_Command).Top, -2430.0);
    QCOMPARE(form.Pic_Command->y(), -162);
  }

  void Too_narrow_a_window_skips_the_refused_widths_only() {
    Frm_Main &form = *form_;
    form.Set_Width(300);  // W - 360 is negative
    QCOMPARE(form.Twips(form.lb_USB_I).Width, 9140.0);        // refused: kept
    QCOMPARE(form.Twips(form.Pic_Command).Width, 9140.0);     // follows the kept width
    QCOMPARE(form.Twips(form.Cmd_Exit).Left, 8165.0);
    form.Set_Width(1000);
    QCOMPARE(form.Twips(form.lb_USB_I).Width, 640.0);
    QCOMPARE(form.Twips(form.Cmd_Exit).Left, 640.0 - 975);    // a negative left is taken
    QCOMPARE(form.Twips(form.lst_Commands).Width, 7925.0);    // refused: -575
    QCOMPARE(form.Twips(form.txt_Command).Width, 7925.0);
    QCOMPARE(form.Twips(form.Frm_Code_Block).Width, 4910.0);  // refused
    // Back to a usable size, everything is as before.
    form.Set_Width(9500);
    QCOMPARE(form.Twips(form.lst_Commands).Width, 7925.0);
    QCOMPARE(form.Twips(form.Cmd_Exit).Left, 8165.0);
  }

  void Resizing_the_shown_window_arranges_from_its_frame() {
    form_ = &console_->Start_Shown();  // the window init made is gone
    Frm_Main &form = *form_;
    const QSize frame = form.frameGeometry().size() - form.size();
    form.resize(QSize(700, 800) - frame);  // as the user drags the border
    QCOMPARE(form.Width(), 10500.0);
    QCOMPARE(form.Height(), 12000.0);
    QCOMPARE(form.Twips(form.lb_USB_I).Width, 10140.0);
    QCOMPARE(form.Twips(form.pic_FileName).Top, 12000.0 - 2655);
  }

  void Minimizing_and_restoring_keeps_the_arrangement() {
    form_ = &console_->Start_Shown();  // the window init made is gone
    Frm_Main &form = *form_;
    const Geometry before = Snapshot();
    form.showMinimized();
    QCoreApplication::processEvents();
    form.showNormal();
    QCoreApplication::processEvents();
    QVERIFY(Snapshot() == before);
    QCOMPARE(form.Width(), 9500.0);
  }

 private:
  QList<QWidget *> Full_Width() const {
    return {form_->lb_USB_I, form_->txt_USBI_Buffer, form_->lb_USB_F, form_->txt_USBF_Buffer, form_->Pic_Command,
            form_->pic_FileName};
  }
  QList<QWidget *> File_Buttons() const {
    return {form_->Cmd_Get_IP_File_Name, form_->Cmd_DSP_Get_File_Name, form_->Cmd_FPGA_Get_File_Name};
  }
  QList<QWidget *> Location_Boxes() const {
    return {form_->txt_IP_Firmware_Location, form_->txt_DSP_Firmware_Location, form_->txt_FPGA_Firmware_Location};
  }

  // Every named control's twips geometry (the option buttons by index).
  Geometry Snapshot() const {
    Geometry geometry;
    for (QWidget *control : form_->findChildren<QWidget *>()) {
      if (control->objectName().isEmpty() || control->objectName().startsWith(QStringLiteral("qt_"))) continue;
      QString name = control->objectName();
      if (control->property("Index").isValid()) name += QString::number(control->property("Index").toInt());
      geometry[name] = form_->Twips(control);
    }
    return geometry;
  }

  std::unique_ptr<Console> console_;
  Frm_Main *form_ = nullptr;
};

}  // namespace

int Run_Layout_Tests(int argc, char **argv) {
  Layout_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "layout_test.moc"
