; The Harbinel installer. Puts harbinel.exe under Program Files, adds a Start
; menu shortcut, offers a Run entry for the current user (off unless ticked),
; registers an uninstaller in Add/Remove Programs and lets the installed exe
; through Windows' firewall (one inbound rule named "Harbinel", which the
; uninstaller removes again) and registers the "Harbinel" source of the
; Application event log, whose sentences the installed exe carries. The build
; passes:
;   VERSION  four-part version, e.g. 1.0.6.0
;   ARCH     x86 (the shipped program) or amd64 (a 64-bit build for tests)
;   EXE      path of harbinel.exe      README  path of the read-me text
;   ICON     the program's icon        OUTFILE where the installer goes
;
; Command line, besides NSIS's own /S (silent) and /D=folder:
;   setup:     /AUTOSTART       tick "Start Harbinel when Windows starts"
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

    ; The Run entry follows the tick below on every install, so that an
    ; upgrade can also turn it off.
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
SectionEnd

Section /o "Start Harbinel when Windows starts" SecAutostart
    WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\harbinel.exe"'
SectionEnd

Function .onInit
    !if "${ARCH}" == "amd64"
        SetRegView 64
    !endif
    ; An upgrade keeps the user's earlier choice; /AUTOSTART asks for it.
    ReadRegStr $0 HKCU "${RUN_KEY}" "${PRODUCT}"
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/AUTOSTART" $2
    ${IfNot} ${Errors}
    ${OrIf} $0 != ""
        !insertmacro SelectSection ${SecAutostart}
    ${EndIf}
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
    Call un.DeleteFirewallRule
    DeleteRegKey HKLM "${EVENTLOG_KEY}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    Call un.RemoveSettings
SectionEnd
