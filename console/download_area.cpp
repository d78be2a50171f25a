// Frm_Main's download area: the firmware file selection and the download
// start. The file selection and the download arrive with the status window
// frm_Status; until then the buttons are wired and do nothing.
#include "frm_main.h"

void Frm_Main::Cmd_Get_IP_File_Name_Click() {}

void Frm_Main::Cmd_DSP_Get_File_Name_Click() {}

void Frm_Main::Cmd_FPGA_Get_File_Name_Click() {}

void Frm_Main::Cmd_Send_File_Click() {}
