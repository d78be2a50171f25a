// Frm_Main's layout: the controls' design geometry and Arrange_Controls, which
// recomputes a fixed set of positions and sizes from the window's outer size.
#include "frm_main.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWindow>

#include <algorithm>

#include <cmath>

namespace {

// Rounds to the nearest whole number, an exact half to the even neighbour.
double Round_Half_Even(double value) {
  const double below = std::floor(value);
  const double fraction = value - below;
  if (fraction > 0.5) return below + 1;
  if (fraction < 0.5) return below;
  return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

}  // namespace

void Frm_Main::Place_Controls() {
  Place(lb_USB_I, {120, 0, 10215, 375});
  Place(txt_USBI_Buffer, {120, 360, 10215, 1935});
  Place(lb_USB_F, {120, 2280, 10215, 375});
  Place(txt_USBF_Buffer, {120, 2640, 10215, 1455});
  Place(Pic_Command, {120, 4200, 10215, 2655});
  Place(lst_Commands, {120, 120, 9015, 2010});
  Place(txt_Command, {120, 2200, 9015, 285});
  Place(Cmd_Exit, {9240, 120, 855, 375});
  Place(Cmd_Send, {9240, 2200, 855, 375});
  Place(pic_FileName, {120, 6960, 10215, 2055});
  Place(Frm_Code_Block, {120, 120, 6135, 1785});
  Place(Opt_File_Type[0], {120, 300, 1635, 255});
  Place(Opt_File_Type[1], {120, 720, 800, 255});
  Place(Opt_File_Type[2], {120, 1200, 800, 255});
  Place(txt_IP_Firmware_Location, {960, 240, 4335, 375});
  Place(txt_DSP_Firmware_Location, {960, 720, 4335, 375});
  Place(txt_FPGA_Firmware_Location, {960, 1200, 4335, 375});
  Place(Cmd_Get_IP_File_Name, {5400, 360, 375, 255});
  Place(Cmd_DSP_Get_File_Name, {5400, 840, 375, 255});
  Place(Cmd_FPGA_Get_File_Name, {5400, 1320, 375, 255});
  Place(Frm_After_Download, {6360, 120, 2055, 1185});
  Place(After_Download_Opt[0], {120, 300, 1095, 255});
  Place(After_Download_Opt[1], {120, 720, 1095, 255});
  Place(Cmd_Send_File, {6360, 1440, 2055, 495});
  Place(lbl_TA_Devices, {8520, 0, 1575, 255});
  Place(List_Devices, {8520, 240, 1575, 1035});
}

void Frm_Main::Place(QWidget *control, const Twips_Rect &rect) {
  geometry_[control] = rect;
  Show_Geometry(control);
}

Twips_Rect Frm_Main::Twips(const QWidget *control) const { return geometry_.value(control); }

void Frm_Main::Show_Geometry(QWidget *control) {
  const Twips_Rect &rect = geometry_[control];
  control->setGeometry(Twips_To_Pixels(rect.Left), Twips_To_Pixels(rect.Top), Twips_To_Pixels(rect.Width),
                       Twips_To_Pixels(rect.Height));
}

void Frm_Main::Set_Control_Left(QWidget *control, double twips) {
  if (!Twips_Within_Toolkit_Range(twips)) return;
  geometry_[control].Left = twips;
  Show_Geometry(control);
}

void Frm_Main::Set_Control_Top(QWidget *control, double twips) {
  if (!Twips_Within_Toolkit_Range(twips)) return;
  geometry_[control].Top = twips;
  Show_Geometry(control);
}

bool Frm_Main::Set_Control_Width(QWidget *control, double twips) {
  if (!(twips >= 0) || !Twips_Within_Toolkit_Range(twips)) return false;
  geometry_[control].Width = twips;
  Show_Geometry(control);
  return true;
}

bool Frm_Main::Set_Control_Height(QWidget *control, double twips) {
  if (!(twips >= 0) || !Twips_Within_Toolkit_Range(twips)) return false;
  geometry_[control].Height = twips;
  Show_Geometry(control);
  return true;
}

QSizeF Frm_Main::Minimum_Outer_Twips() const {
  auto left = [this](const QWidget *c) { return geometry_.value(c).Left; };
  auto width = [this](const QWidget *c) { return geometry_.value(c).Width; };
  auto height = [this](const QWidget *c) { return geometry_.value(c).Height; };
  // Widths: the rules take, from the window's width, the margins of the full-
  // width controls, then in the download area the device list, the
  // After Download frame, the Code Block frame's margin and its "..." buttons,
  // leaving the path boxes the rest; in the command area the buttons leave
  // lst_Commands the rest. A path box keeps at least the width of the option
  // buttons beside it.
  const double full_width_margins = 3 * left(lb_USB_I);
  const double path_box = full_width_margins + width(List_Devices) + 240 + width(Frm_After_Download) + 120 + 240 +
                          width(Cmd_Get_IP_File_Name) + 120 + left(txt_IP_Firmware_Location) + 120 + width(Opt_File_Type[1]);
  const double command_list = full_width_margins + width(Cmd_Exit) + 120 + 240;
  // Heights: the two bottom areas and the headings, with their gaps, leave
  // the reply boxes the rest, shared equally; each keeps a line of text, as
  // high as the one-line txt_Command.
  const double reply_boxes = height(pic_FileName) + 600 + height(Pic_Command) + 120 + height(lb_USB_F) +
                             height(lb_USB_I) + 240 + 2 * height(txt_Command);
  return {std::max(path_box, command_list), reply_boxes + Status_Bar_Twips()};
}

void Frm_Main::Apply_Minimum_Size() {
  // The minimum is the client area's; the rules count the frame in.
  const QSizeF outer = Minimum_Outer_Twips();
  const QWindow *window = windowHandle();
  const QMargins frame = window != nullptr ? window->frameMargins() : QMargins();
  setMinimumSize(std::max(0, static_cast<int>(std::ceil(outer.width() / kTwipsPerPixel)) - frame.left() - frame.right()),
                 std::max(0, static_cast<int>(std::ceil(outer.height() / kTwipsPerPixel)) - frame.top() - frame.bottom()));
}

void Frm_Main::Arrange_Controls() {
  // Each rule stands alone: one the control refuses is skipped, and the
  // rules after it see the values as they then stand.
  const double W = Width();
  const double H = Height() - Status_Bar_Twips();  // the status bar, when shown, takes the bottom
  auto left = [this](const QWidget *c) { return geometry_.value(c).Left; };
  auto top = [this](const QWidget *c) { return geometry_.value(c).Top; };
  auto width = [this](const QWidget *c) { return geometry_.value(c).Width; };
  auto height = [this](const QWidget *c) { return geometry_.value(c).Height; };

  Set_Control_Width(lb_USB_I, W - 3 * left(lb_USB_I));                                             // 1
  Set_Control_Width(txt_USBI_Buffer, width(lb_USB_I));                                             // 2
  Set_Control_Width(lb_USB_F, width(lb_USB_I));                                                    // 3
  Set_Control_Width(txt_USBF_Buffer, width(lb_USB_I));                                             // 4
  Set_Control_Width(Pic_Command, width(lb_USB_I));                                                 // 5
  Set_Control_Left(Cmd_Exit, width(Pic_Command) - (width(Cmd_Exit) + 120));                        // 6
  Set_Control_Left(Cmd_Send, left(Cmd_Exit));                                                      // 7
  Set_Control_Width(lst_Commands, left(Cmd_Exit) - 240);                                           // 8
  Set_Control_Width(txt_Command, width(lst_Commands));                                             // 9
  Set_Control_Width(pic_FileName, width(lb_USB_I));                                                // 10
  Set_Control_Left(lbl_TA_Devices, width(pic_FileName) - (width(lbl_TA_Devices) + 240));           // 11
  Set_Control_Left(List_Devices, width(pic_FileName) - (width(List_Devices) + 240));               // 12
  Set_Control_Left(Frm_After_Download, left(List_Devices) - (width(Frm_After_Download) + 120));    // 13
  Set_Control_Left(Cmd_Send_File, left(Frm_After_Download));                                       // 14
  Set_Control_Width(Frm_Code_Block, left(Frm_After_Download) - 240);                               // 15
  Set_Control_Left(Cmd_Get_IP_File_Name, width(Frm_Code_Block) - (width(Cmd_Get_IP_File_Name) + 120));  // 16
  Set_Control_Left(Cmd_DSP_Get_File_Name, left(Cmd_Get_IP_File_Name));                             // 17
  Set_Control_Left(Cmd_FPGA_Get_File_Name, left(Cmd_Get_IP_File_Name));                            // 18
  Set_Control_Width(txt_IP_Firmware_Location,
                    left(Cmd_Get_IP_File_Name) - (left(txt_IP_Firmware_Location) + 120));          // 19
  Set_Control_Width(txt_DSP_Firmware_Location, width(txt_IP_Firmware_Location));                   // 20
  Set_Control_Width(txt_FPGA_Firmware_Location, width(txt_IP_Firmware_Location));                  // 21
  Set_Control_Top(pic_FileName, H - (height(pic_FileName) + 600));                                 // 22
  Set_Control_Top(Pic_Command, top(pic_FileName) - (height(Pic_Command) + 120));                   // 23
  const double B = Round_Half_Even((top(Pic_Command) - (height(lb_USB_F) + height(lb_USB_I) + 240)) / 2);  // 24
  Set_Control_Height(txt_USBF_Buffer, B);                                                          // 25
  Set_Control_Top(txt_USBF_Buffer, top(Pic_Command) - (height(txt_USBF_Buffer) + 120));            // 26
  Set_Control_Top(lb_USB_F, top(txt_USBF_Buffer) - (height(lb_USB_F) + 120));                      // 27
  Set_Control_Height(txt_USBI_Buffer, B);                                                          // 28
  Place_Status_Bar();
}
