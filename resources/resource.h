// Resource and command identifiers, shared by harbinel.rc and the code.
// Grouped by owner in the numbers the program uses; keep this file plain
// preprocessor text so the resource compiler can read it.
#ifndef HARBINEL_RESOURCE_H
#define HARBINEL_RESOURCE_H

// Icons
#define IDI_MAIN 100
#define IDI_IDLE 101
#define IDI_ALERT 102

// Main window controls
#define IDC_LISTEN 110
#define IDC_LOGLIST 112
#define IDC_STATUSBAR 114

// Menu bar and its commands, by popup
#define IDR_MAINMENU 200
#define IDM_SAVELOG 201
#define IDM_CLEARLOG 202
#define IDM_EXIT 203
#define IDM_PORTSETTINGS 211
#define IDM_MESSAGE 212
#define IDM_RESETALERT 213
#define IDM_ONTOP 214
#define IDM_ALERTS 215
#define IDM_STEALTH 216
#define IDM_RESTARTADMIN 219
#define IDM_STATISTICS 225
#define IDM_BLOCK 217
#define IDM_BLOCKED 218
#define IDM_TROJANPORTS 221
#define IDM_WEBSITE 222
#define IDM_ABOUT 223

// Log menu
#define IDM_LOG_CLEAR 302
#define IDM_LOG_SAVE 303
#define IDM_LOG_COPY 304
#define IDM_LOG_BLOCK 305

// Port Settings dialog
#define IDD_PORTSETTINGS 400
#define IDC_PS_OK 401
#define IDC_PS_ADD 403
#define IDC_PS_REMOVE 404
#define IDC_PS_REMOVEALL 405
#define IDC_PS_DISCONNECT 406
#define IDC_PS_SEPARATOR 407
#define IDC_PS_LIST 408
#define IDC_PS_NOTE 409

// Message dialog (406 is its separator, never addressed)
#define IDD_MESSAGE 500
#define IDC_MSG_OK 501
#define IDC_MSG_CANCEL 502
#define IDC_MSG_DEFAULT 503
#define IDC_MSG_NONE 504
#define IDC_MSG_CUSTOM 505
#define IDC_MSG_TEXT 506
#define IDC_MSG_SEPARATOR 406

// Add Port dialog
#define IDD_ADDPORT 600
#define IDC_AP_EDIT 601
#define IDC_AP_OK 602
#define IDC_AP_CANCEL 603
#define IDC_AP_LABEL 604
#define IDC_AP_SEPARATOR 605

// Trojan Ports dialog
#define IDD_TROJANPORTS 700
#define IDC_TP_LIST 701
#define IDC_TP_OK 702
#define IDC_TP_ADD 703

// Alerts and Log dialog
#define IDD_ALERTS 800
#define IDC_AL_OK 801
#define IDC_AL_CANCEL 802
#define IDC_AL_LOGTOFILE 803
#define IDC_AL_FOLDERLABEL 804
#define IDC_AL_FOLDER 805
#define IDC_AL_BROWSE 806
#define IDC_AL_OPENFOLDER 807
#define IDC_AL_LINESLABEL 808
#define IDC_AL_LINES 809
#define IDC_AL_BALLOONS 810
#define IDC_AL_TRUSTEDLABEL 811
#define IDC_AL_TRUSTED 812
#define IDC_AL_PROBLEM 813
#define IDC_AL_SYSLOG 814
#define IDC_AL_SYSLOGTCP 815
#define IDC_AL_SYSLOGLABEL 816
#define IDC_AL_WEBHOOKLABEL 817
#define IDC_AL_WEBHOOK 818
#define IDC_AL_WEBHOOKFORMAT 819
#define IDC_AL_WEBHOOKTEST 820
#define IDC_AL_WEBHOOKRESULT 821
#define IDC_AL_PROGRAMLABEL 830
#define IDC_AL_PROGRAM 831
#define IDC_AL_RUNUNVERIFIED 832
#define IDC_AL_EVENTLOG 835
#define IDC_AL_TRUSTEDPROBLEM 1301 // the trusted callers' own problem line

// Statistics dialog
#define IDD_STATS 1100
#define IDC_ST_HOURS 1101
#define IDC_ST_DAYS 1102
#define IDC_ST_CALLERS 1103
#define IDC_ST_PORTS 1104
#define IDC_ST_TOTALS 1105
#define IDC_ST_RESET 1106
#define IDC_ST_OK 1107
#define IDC_ST_HOURSLABEL 1108
#define IDC_ST_DAYSLABEL 1109
#define IDC_ST_CALLERSLABEL 1110
#define IDC_ST_PORTSLABEL 1111

// Blocked Callers dialog
#define IDD_BLOCKED 1000
#define IDC_BL_LIST 1001
#define IDC_BL_UNBLOCK 1002
#define IDC_BL_UNBLOCKALL 1003
#define IDC_BL_CLOSE 1004
#define IDC_BL_COUNT 1005

// Tray icon and tray menu
#define TRAY_ICON_ID 900
#define IDM_TRAYTITLE 901
#define IDM_RESTORE 902
#define IDM_TRAYSTATS 903

// Posted to the main window at the first start: the offer of the trojan ports
#define IDM_FIRSTRUN 1300

// Window messages of the program's own, all sent to the main window
#define WM_TRAYNOTIFY 1025
#define WM_SOCKETEVENT 1026
#define WM_HOSTRESOLVED 1027
// Posted to itself when a socket is closed: socket events queued before it
// are left over from the closed socket, whatever takes its handle next.
#define WM_SOCKETRETIRED 1028
// Posted by the log file when a write fails, so its line follows the block.
#define WM_LOGFILEERROR 1029
// Posted by the web hook's worker when a post failed: wParam the status or
// error, lParam its kind and the sender's start count.
#define WM_WEBHOOKRESULT 1040
// Posted to the Alerts and Log dialog when its Send test has an answer.
#define WM_WEBHOOKTESTED 1041
// The stealth watch's reader has SYNs for the window's thread.
#define WM_WATCHBATCH 1030

#endif
