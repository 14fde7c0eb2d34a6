; The Harbinel installer. Puts harbinel.exe under Program Files, adds a Start
; menu shortcut, offers a Run entry for the current user (off unless ticked),
; or a logon task that starts it with administrator rights, registers an
; uninstaller in Add/Remove Programs and lets the installed exe
; through Windows' firewall (one inbound rule named "Harbinel", which the
; uninstaller removes again) and registers the "Harbinel" source of the
; Application event log, whose sentences the installed exe carries. The build
; passes:
;   VERSION  four-part version, e.g. 1.0.6.0
;   ARCH     x86 (the shipped program) or amd64 (a 64-bit build for tests)
;   EXE      path of harbinel.exe      README  path of the read-me text
;   ICON     the program's icon        OUTFILE where the installer goes
;
;
; Command line, besides NSIS's own /S (silent) and /D=folder:
;   setup:     /AUTOSTART       tick "Start Harbinel when Windows starts"
;              /AUTOSTARTADMIN  tick its choice "with administrator rights"
;                               instead (it wins when both are given)
;   uninstall: /REMOVESETTINGS  remove the settings key without asking
;              (a silent uninstall otherwise keeps it)

Unicode true
!if "${ARCH}" == "amd64"
    Target amd64-unicode
    !define PROGRAMS_DIR "$PROGRAMFILES64"
!else
    Target x86-unicode
    !define PROGRAMS_DIR "$PROGRAMFILES"
!endif

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "WordFunc.nsh"
!include "WinMessages.nsh"

!define PRODUCT "Harbinel"
!define PUBLISHER "Ferrowind"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Harbinel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define SETTINGS_PARENT "SOFTWARE\Ferrowind"
!define SETTINGS_KEY "SOFTWARE\Ferrowind\Harbinel"
; The program's window class and its File > Exit command, which saves the
; settings before the program ends.
!define MAIN_CLASS "Harbinel_Class"
!define IDM_EXIT 203

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAMS_DIR}\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "${PRODUCT} ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\harbinel.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Harbinel now (it sits in the notification area)"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\readme.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; Ends a running Harbinel through its own Exit command, so that it saves its
; settings and its exe can be replaced or deleted, and waits up to five
; seconds for the process to end. A Harbinel that does not end (one of its
; windows may be open) is left running: the user is asked to close it and
; retry, and otherwise, or in a silent run, setup stops with exit code 2
; before it has changed anything.
!macro DEFINE_CLOSE_RUNNING prefix
Function ${prefix}CloseRunningHarbinel
retry:
    FindWindow $0 "${MAIN_CLASS}"
    ${If} $0 == 0
        Return
    ${EndIf}
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1) i'
    ; SYNCHRONIZE: enough to wait on the process.
    System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2'
    SendMessage $0 ${WM_COMMAND} ${IDM_EXIT} 0 /TIMEOUT=5000
    ${If} $2 P<> 0
        System::Call 'kernel32::WaitForSingleObject(p r2, i 5000) i .r3'
        System::Call 'kernel32::CloseHandle(p r2)'
    ${Else}
        StrCpy $3 0
    ${EndIf}
    FindWindow $0 "${MAIN_CLASS}"
    ${If} $3 != 0
    ${OrIf} $0 != 0
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
            "Harbinel is still running, perhaps with one of its windows open.$\r$\n$\r$\nClose that window, or end Harbinel with File > Exit, then choose Retry." \
            /SD IDCANCEL IDRETRY retry
        SetErrorLevel 2
        Quit
    ${EndIf}
FunctionEnd
!macroend
!insertmacro DEFINE_CLOSE_RUNNING ""
!insertmacro DEFINE_CLOSE_RUNNING "un."

; Harbinel listens on every interface, so the first Listen makes Windows'
; firewall ask whether to let harbinel.exe in; a user who answers Cancel gets
; a block rule, and from then on only scans from this PC itself (127.0.0.1)
; arrive. Setup therefore lets the installed exe in itself, on every network
; profile. Any earlier rule of that name goes first, so that an upgrade or a
; new folder leaves exactly one rule, for the exe now installed. netsh runs
; hidden; a rule that cannot be added (the firewall service stopped, say) is
; noted in the details and does not stop setup.
!define FIREWALL_RULE "Harbinel"
; The inbound block rule the program itself keeps for Block Scanners.
!define BLOCK_RULE "Harbinel: blocked callers"
!macro DEFINE_FIREWALL_DELETE prefix
Function ${prefix}DeleteFirewallRule
    nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    ; Not 0 when there was no such rule, which is as good.
    Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_FIREWALL_DELETE ""
!insertmacro DEFINE_FIREWALL_DELETE "un."

Function AddFirewallRule
    Call DeleteFirewallRule
    nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\harbinel.exe" enable=yes profile=any'
    Pop $0
    ${If} $0 != 0
        DetailPrint "Could not let Harbinel through the firewall (netsh: $0)"
    ${EndIf}
FunctionEnd

; Harbinel writes its scans to the Application log under the source
; "Harbinel"; registered here, Event Viewer finds the sentences of its event
; ids in the installed exe instead of showing the bare strings.
!define EVENTLOG_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Harbinel"

; "with administrator rights" is a Task Scheduler task at the installing
; user's logon with the highest run level, which starts the program elevated
; without a prompt (a Run entry cannot). The task is described by a file,
; since the command line of schtasks cannot lift the time limit or the
; battery conditions. setup remembers the choice in its registration, so
; that an upgrade keeps it.
!define TASK_NAME "Harbinel"
!define CHOICE_VALUE "AutostartWithRights"
!macro DEFINE_TASK_DELETE prefix
Function ${prefix}DeleteLogonTask
    nsExec::Exec '"$SYSDIR\schtasks.exe" /Delete /TN "${TASK_NAME}" /F'
    ; Not 0 when there was no such task, which is as good.
    Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_TASK_DELETE ""
!insertmacro DEFINE_TASK_DELETE "un."

; Text for the task file: & < > written as XML wants them.
Function XmlText
    Exch $0
    ${WordReplace} "$0" "&" "&amp;" "+" $0
    ${WordReplace} "$0" "<" "&lt;" "+" $0
    ${WordReplace} "$0" ">" "&gt;" "+" $0
    Exch $0
FunctionEnd

Function AddLogonTask
    ; The user as DOMAIN\name, or the bare name where no domain is set.
    ReadEnvStr $1 USERNAME
    ReadEnvStr $2 USERDOMAIN
    ${If} $2 != ""
        StrCpy $1 "$2\$1"
    ${EndIf}
    Push $1
    Call XmlText
    Pop $1
    Push "$INSTDIR\harbinel.exe"
    Call XmlText
    Pop $2
    InitPluginsDir
    StrCpy $3 "$PLUGINSDIR\harbinel-task.xml"
    FileOpen $4 $3 w
    FileWriteUTF16LE /BOM $4 '<?xml version="1.0" encoding="UTF-16"?>$\r$\n'
    FileWriteUTF16LE $4 '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">$\r$\n'
    FileWriteUTF16LE $4 '  <RegistrationInfo><Description>Starts Harbinel with administrator rights at logon</Description></RegistrationInfo>$\r$\n'
    FileWriteUTF16LE $4 '  <Triggers><LogonTrigger><Enabled>true</Enabled><UserId>$1</UserId></LogonTrigger></Triggers>$\r$\n'
    FileWriteUTF16LE $4 '  <Principals><Principal id="Author"><UserId>$1</UserId><LogonType>InteractiveToken</LogonType><RunLevel>HighestAvailable</RunLevel></Principal></Principals>$\r$\n'
    ; No time limit, batteries or not, at normal priority: a guard that
    ; stops after three days or on a laptop's battery guards nothing.
    FileWriteUTF16LE $4 '  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy><DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries><StopIfGoingOnBatteries>false</StopIfGoingOnBatteries><ExecutionTimeLimit>PT0S</ExecutionTimeLimit><Priority>5</Priority><Enabled>true</Enabled></Settings>$\r$\n'
    FileWriteUTF16LE $4 '  <Actions Context="Author"><Exec><Command>$2</Command></Exec></Actions>$\r$\n'
    FileWriteUTF16LE $4 '</Task>$\r$\n'
    FileClose $4
    nsExec::Exec '"$SYSDIR\schtasks.exe" /Create /XML "$3" /TN "${TASK_NAME}" /F'
    Pop $0
    Delete $3
    ${If} $0 != 0
        DetailPrint "Could not add the logon task (schtasks: $0)"
    ${EndIf}
FunctionEnd

Section "Harbinel (required)" SecProgram
    SectionIn RO
    Call CloseRunningHarbinel
    SetOutPath "$INSTDIR"
    File "/oname=harbinel.exe" "${EXE}"
    File "/oname=readme.txt" "${README}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    Call AddFirewallRule
    WriteRegExpandStr HKLM "${EVENTLOG_KEY}" "EventMessageFile" "$INSTDIR\harbinel.exe"
    ; Error, warning and information.
    WriteRegDWORD HKLM "${EVENTLOG_KEY}" "TypesSupported" 7

    SetShellVarContext all
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\harbinel.exe" "" \
        "$INSTDIR\harbinel.exe" 0 SW_SHOWNORMAL "" "Guards this PC against trojan port scans"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\harbinel.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "URLInfoAbout" "https://www.ferrowind.example/harbinel/"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

    ; The Run entry and the task follow the ticks below on every install,
    ; so that an upgrade can also turn them off or trade one for the other.
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
    Call DeleteLogonTask
    DeleteRegValue HKLM "${UNINSTALL_KEY}" "${CHOICE_VALUE}"
SectionEnd

Section /o "Start Harbinel when Windows starts" SecAutostart
    WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\harbinel.exe"'
SectionEnd

Section /o "with administrator rights (needed for Stealth Watch and Block Scanners)" SecAutostartAdmin
    Call AddLogonTask
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "${CHOICE_VALUE}" 1
SectionEnd

; The two ways to start at logon exclude each other: ticking one unticks
; the other. The choice last seen tells which of the two is the new tick.
Var AutostartChoice
Function .onSelChange
    ${If} ${SectionIsSelected} ${SecAutostart}
    ${AndIf} ${SectionIsSelected} ${SecAutostartAdmin}
        ${If} $AutostartChoice == "plain"
            !insertmacro UnselectSection ${SecAutostart}
        ${Else}
            !insertmacro UnselectSection ${SecAutostartAdmin}
        ${EndIf}
    ${EndIf}
    Call NoteAutostartChoice
FunctionEnd

Function NoteAutostartChoice
    StrCpy $AutostartChoice ""
    ${If} ${SectionIsSelected} ${SecAutostart}
        StrCpy $AutostartChoice "plain"
    ${ElseIf} ${SectionIsSelected} ${SecAutostartAdmin}
        StrCpy $AutostartChoice "admin"
    ${EndIf}
FunctionEnd

Function .onInit
    !if "${ARCH}" == "amd64"
        SetRegView 64
    !endif
    ; /AUTOSTARTADMIN or /AUTOSTART asks for a choice; otherwise an upgrade
    ; keeps the user's earlier one. GetOptions also finds /AUTOSTART in
    ; /AUTOSTARTADMIN, with "ADMIN" left over, hence the empty rest.
    ${GetParameters} $1
    StrCpy $0 ""
    ClearErrors
    ${GetOptions} $1 "/AUTOSTARTADMIN" $2
    ${IfNot} ${Errors}
        StrCpy $0 "admin"
    ${Else}
        ClearErrors
        ${GetOptions} $1 "/AUTOSTART" $2
        ${IfNot} ${Errors}
        ${AndIf} $2 == ""
            StrCpy $0 "plain"
        ${EndIf}
    ${EndIf}
    ${If} $0 == ""
        ReadRegDWORD $3 HKLM "${UNINSTALL_KEY}" "${CHOICE_VALUE}"
        ReadRegStr $4 HKCU "${RUN_KEY}" "${PRODUCT}"
        ${If} $3 == 1
            StrCpy $0 "admin"
        ${ElseIf} $4 != ""
            StrCpy $0 "plain"
        ${EndIf}
    ${EndIf}
    ${If} $0 == "admin"
        !insertmacro SelectSection ${SecAutostartAdmin}
    ${ElseIf} $0 == "plain"
        !insertmacro SelectSection ${SecAutostart}
    ${EndIf}
    Call NoteAutostartChoice
FunctionEnd

Function un.onInit
    !if "${ARCH}" == "amd64"
        SetRegView 64
    !endif
FunctionEnd

; The settings key holds the ports, the warning and the window position; a
; user who may install again is glad to keep it, so removing it is asked for.
Function un.RemoveSettings
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/REMOVESETTINGS" $1
    ${If} ${Errors}
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 \
            "Remove Harbinel's settings as well?$\r$\n$\r$\nThey hold your port list, your warning message and the window position. Keep them if you may install Harbinel again." \
            /SD IDNO IDYES remove
        Return
    ${EndIf}
remove:
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "${SETTINGS_PARENT}"
FunctionEnd

Section "Uninstall"
    Call un.CloseRunningHarbinel
    Delete "$INSTDIR\harbinel.exe"
    Delete "$INSTDIR\readme.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    SetShellVarContext all
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
    Call un.DeleteLogonTask
    Call un.DeleteFirewallRule
    ; The program's own rule of blocked callers goes too: left behind it
    ; would block them for good.
    nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${BLOCK_RULE}"'
    Pop $0
    DeleteRegKey HKLM "${EVENTLOG_KEY}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    Call un.RemoveSettings
SectionEnd
