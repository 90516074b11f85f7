#pragma once
// Resource numbers: dialog templates, the icon, the string table and the
// control ids. Every control of a .ui file carries its id as the dynamic
// property "controlId" (the templates' own ids on the dialogs), which is how
// the windows' tests find them.

enum : int {
  IDOK = 1,
  IDCANCEL = 2,

  IDD_ABOUTBOX = 100,
  IDS_ABOUTBOX = 101,  // "&About Pylax...", the about item of the console's menu
  IDD_CONSOLE = 102,
  IDR_MAINFRAME = 128,  // the application icon
  IDD_COMMTRACE = 129,
  IDD_TERMS = 136,

  // Console (template 102).
  IDC_DEVICES = 1004,
  IDC_RESCAN = 1005,
  IDC_QUIT = 1007,
  IDC_RESET_KWH = 1008,
  IDC_KWH = 1010,
  IDC_KW = 1011,
  IDC_PF = 1013,
  IDC_VOLTS_LL = 1014,
  IDC_AMPS = 1015,
  IDC_KW_ALL = 1019,    // 1019..1022: kW phases All, A, B, C
  IDC_PF_ALL = 1023,    // 1023..1026
  IDC_VLL_ALL = 1027,   // 1027..1030
  IDC_AMPS_ALL = 1031,  // 1031..1034
  IDC_VOLTS_LN = 1035,
  IDC_SHOW_COMM = 1036,
  IDC_VLN_ALL = 1037,   // 1037..1040
  IDC_ROLLOVERS = 1081,
  IDC_BUFFER_STATUS = 1082,
  IDC_DAYS_TO_ROLLOVER = 1087,
  IDC_NEWEST_ENTRY = 1088,
  IDC_START_KWH = 1089,
  IDC_LOG_ENTRIES = 1090,
  IDC_SUBINTERVAL = 1091,
  IDC_CLOCK = 1092,
  IDC_PULSE_COUNT = 1093,
  IDC_LOGGING = 1095,
  IDC_SET_CLOCK = 1096,
  IDC_PULSE_ENABLE = 1101,
  IDC_PULSE_RESET = 1102,
  IDC_BAUD_RATE = 1103,
  IDC_COM_PORT = 1104,
  IDC_SCAN_END = 1106,
  IDC_SCAN_START = 1107,

  // Trace window (template 129).
  IDC_TRACE = 1039,
  IDC_FREEZE = 1041,
  IDC_OK_COUNT = 1042,
  IDC_BAD_COUNT = 1043,
  IDC_LAST_ERROR = 1044,
};
