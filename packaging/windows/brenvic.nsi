; The Windows installer of the bridge: the program and its two libraries in one
; folder under Program Files, the service registered and started by the
; program's own "install", and an uninstaller in Add/Remove Programs that keeps
; the configuration and the logs.
;
;   makensis -DVERSION=1.0.0.1 -DBINDIR=<the three binaries> -DREADME=<README.md>
;            -DOUTFILE=<setup.exe> brenvic.nsi
;
; Exit codes (also with /S): 0 installed and the service running; 1 cancelled;
; 2 failed: nothing changed when the folder cannot be used or the running
; service cannot be stopped, else the service may be left stopped or without
; registration; 3 installed and registered, but the service did not reach the
; running state within 60 s (its log tells why). The reason of a failure is
; added to %TEMP%\Brenvic-setup.log.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh

!ifndef VERSION | BINDIR | README | OUTFILE
  !error "VERSION, BINDIR, README and OUTFILE must be defined"
!endif

!define PRODUCT "TAVEK Vantelo"
!define SERVICE "Vantelo"
!define EXE "Brenvic.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Brenvic"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE}"
; Service states as the service manager reports them; 0 here: not registered.
!define STATE_NONE 0
!define STATE_STOPPED 1
!define STATE_RUNNING 4

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\TAVEK\Vantelo"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey "CompanyName" "TAVEK"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "TAVEK"

Var Installed ; the folder of an installed version, empty when there is none
Var OldExe    ; the program the registered service runs, empty when none is registered

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_TITLE "${PRODUCT} ${VERSION} is installed"
!define MUI_FINISHPAGE_TEXT "The service $\"TAVEK Vantelo service$\" (${SERVICE}) runs the bridge and starts with Windows.$\r$\n$\r$\nConfiguration: $INSTDIR\Brenvic.ini$\r$\nLogs: $INSTDIR\Logs$\r$\n$\r$\nAfter editing the configuration, restart the service (services.msc, or $\"net stop ${SERVICE}$\" and $\"net start ${SERVICE}$\")."
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipDirectoryOnUpgrade
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "${PRODUCT} is removed"
!define MUI_FINISHPAGE_TEXT "The service and the program are removed.$\r$\n$\r$\nThe configuration (Brenvic.ini) and the Logs folder were kept in $INSTDIR; delete them by hand when they are no longer needed. A later installation into this folder uses the kept configuration."
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

; Leaves with exit code CODE after telling why: on the details page, in a
; message box (not in silent mode) and in %TEMP%\Brenvic-setup.log.
!macro FAIL CODE TEXT
  DetailPrint "${TEXT}"
  Push "${TEXT}"
  Call ${UN}Report
  MessageBox MB_ICONSTOP|MB_OK "${TEXT}" /SD IDOK
  SetErrorLevel ${CODE}
  Abort
!macroend

!macro FUNCTIONS UN
  Function ${UN}Report
    Exch $0
    Push $1
    FileOpen $1 "$TEMP\Brenvic-setup.log" a
    FileSeek $1 0 END
    FileWrite $1 "${PRODUCT} ${VERSION}: $0$\r$\n"
    FileClose $1
    Pop $1
    Pop $0
  FunctionEnd

  ; The state of the service: 0 when it is not registered.
  Function ${UN}ServiceState
    Push $0
    Push $1
    Push $2
    Push $3
    StrCpy $0 ${STATE_NONE}
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.r1' ; connect
    ${If} $1 P<> 0
      System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 4) p.r2' ; query status
      ${If} $2 P<> 0
        System::Call '*(i, i, i, i, i, i, i) p.r3'
        System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i.r0'
        ${If} $0 <> 0
          System::Call '*$3(i, i .r0)'
        ${Else}
          StrCpy $0 ${STATE_STOPPED}
        ${EndIf}
        System::Free $3
        System::Call 'advapi32::CloseServiceHandle(p r2)'
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    Pop $3
    Pop $2
    Pop $1
    Exch $0
  FunctionEnd

  ; Waits up to 60 s for the service to be in a state (0: gone); true when it is.
  Function ${UN}WaitForState
    Exch $0
    Push $1
    Push $2
    StrCpy $2 0
    ${Do}
      Call ${UN}ServiceState
      Pop $1
      ${If} $1 = $0
        StrCpy $0 1
        ${Break}
      ${EndIf}
      ${If} $2 >= 600
        StrCpy $0 0
        ${Break}
      ${EndIf}
      Sleep 100
      IntOp $2 $2 + 1
    ${Loop}
    Pop $2
    Pop $1
    Exch $0
  FunctionEnd

  ; Runs a command of the program; the details page shows its console lines.
  Function ${UN}Program
    Exch $0
    DetailPrint "Brenvic $0"
    nsExec::ExecToLog '"$INSTDIR\${EXE}" $0'
    Pop $0
    Pop $0
  FunctionEnd

!macroend
!define UN ""
!insertmacro FUNCTIONS ""
!undef UN
!define UN "un."
!insertmacro FUNCTIONS "un."
!undef UN
!define UN ""

; Deletes a file, waiting up to 10 s for a process that is still ending to
; let go of it; true when it is gone.
Function un.DeleteFile
  Exch $0
  Push $1
  StrCpy $1 0
  ${Do}
    Delete "$0"
    ${IfNot} ${FileExists} "$0"
      StrCpy $0 1
      ${Break}
    ${EndIf}
    ${If} $1 >= 100
      StrCpy $0 0
      ${Break}
    ${EndIf}
    Sleep 100
    IntOp $1 $1 + 1
  ${Loop}
  Pop $1
  Exch $0
FunctionEnd

; The folder named by /D= on the command line (the rest of the line), or "".
; From the system's copy of the line: NSIS cuts /D= off $CMDLINE.
Function RequestedFolder
  Push $1
  Push $2
  Push $3
  System::Call 'kernel32::GetCommandLineW() w .r3'
  StrCpy $0 ""
  StrCpy $1 0
  ${Do}
    StrCpy $2 $3 4 $1
    ${If} $2 == ""
      ${Break}
    ${ElseIf} $2 S== " /D="
      IntOp $1 $1 + 4
      StrCpy $0 $3 "" $1
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

Function .onInit
  SetRegView 64
  ReadRegStr $Installed HKLM "${UNINST_KEY}" "InstallLocation"
  ; NSIS passes over a /D= folder it cannot use (one with a file in its path)
  ; and would install into the default folder instead.
  Call RequestedFolder
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
    !insertmacro FAIL 2 "The folder $0 cannot be used"
  ${EndIf}
FunctionEnd

Function SkipDirectoryOnUpgrade
  ; An upgrade goes where the installed version is.
  ${If} $Installed != ""
    Abort
  ${EndIf}
FunctionEnd

; The program that the registered service runs, unquoted; empty when none is.
Function RegisteredProgram
  ReadRegStr $OldExe HKLM "${SERVICE_KEY}" "ImagePath"
  StrCpy $0 $OldExe 1
  ${If} $0 == '"'
    StrCpy $OldExe $OldExe "" 1
    StrCpy $OldExe $OldExe -1
  ${EndIf}
FunctionEnd

Section "Install"
  ; A folder that cannot be written fails here, before a running service is touched.
  ClearErrors
  CreateDirectory "$INSTDIR"
  FileOpen $0 "$INSTDIR\setup-probe.tmp" w
  ${If} ${Errors}
    !insertmacro FAIL 2 "Cannot write to $INSTDIR"
  ${EndIf}
  FileClose $0
  Delete "$INSTDIR\setup-probe.tmp"
  SetOutPath "$INSTDIR"

  ; Upgrade: the service runs the program that is about to be replaced.
  Call RegisteredProgram
  Call ServiceState
  Pop $0
  ${If} $0 <> ${STATE_NONE}
  ${AndIf} $0 <> ${STATE_STOPPED}
    ${If} ${FileExists} "$OldExe"
      DetailPrint "Stopping the service"
      nsExec::ExecToLog '"$OldExe" kill'
      Pop $1
    ${EndIf}
    Push ${STATE_STOPPED}
    Call WaitForState
    Pop $1
    ${If} $1 <> 1
      !insertmacro FAIL 2 "The service ${SERVICE} did not stop; nothing was changed"
    ${EndIf}
  ${EndIf}

  ClearErrors
  File "${BINDIR}\${EXE}"
  File "${BINDIR}\srv_TAVEK_TPKT_Transport.dll"
  File "${BINDIR}\LogClient.dll"
  File "/oname=README.md" "${README}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ${If} ${Errors}
    !insertmacro FAIL 2 "Cannot write the program files to $INSTDIR"
  ${EndIf}

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "TAVEK"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  ; _?= runs the uninstaller in place: the caller waits for it and gets its exit code.
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" 4096

  ; The service: registered and started by the program itself, or, already
  ; registered for this folder, started again.
  ${If} $OldExe != ""
  ${AndIf} $OldExe != "$INSTDIR\${EXE}"
    ; Registered for another folder (stopped above): the registration is
    ; taken away at once and made anew for this folder.
    Push "uninstall"
    Call Program
    Push ${STATE_NONE}
    Call WaitForState
    Pop $1
    StrCpy $OldExe ""
  ${EndIf}
  ${If} $OldExe == ""
    Push "install"
  ${Else}
    Push "run -s"
  ${EndIf}
  Call Program
  Push ${STATE_RUNNING}
  Call WaitForState
  Pop $1
  ${If} $1 <> 1
    Call ServiceState
    Pop $1
    ${If} $1 = ${STATE_NONE}
      !insertmacro FAIL 2 "The service ${SERVICE} could not be registered"
    ${EndIf}
    !insertmacro FAIL 3 "The service ${SERVICE} is installed but not running; see $INSTDIR\Logs"
  ${EndIf}
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

!undef UN
!define UN "un."
Section "Uninstall"
  ; The program takes its service away: uninstall marks it for deletion, kill
  ; stops it, and the service manager then deletes it.
  ${If} ${FileExists} "$INSTDIR\${EXE}"
    Push "uninstall"
    Call un.Program
    Push "kill"
    Call un.Program
    Push ${STATE_NONE}
    Call un.WaitForState
    Pop $0
    ${If} $0 <> 1
      !insertmacro FAIL 2 "The service ${SERVICE} is still registered; nothing was removed"
    ${EndIf}
  ${EndIf}

  ${ForEach} $1 0 2 + 1
    ${If} $1 = 0
      StrCpy $2 "${EXE}"
    ${ElseIf} $1 = 1
      StrCpy $2 "srv_TAVEK_TPKT_Transport.dll"
    ${Else}
      StrCpy $2 "LogClient.dll"
    ${EndIf}
    Push "$INSTDIR\$2"
    Call un.DeleteFile
    Pop $0
    ${If} $0 <> 1
      !insertmacro FAIL 2 "Cannot delete $INSTDIR\$2"
    ${EndIf}
  ${Next}
  Delete "$INSTDIR\README.md"
  DeleteRegKey HKLM "${UNINST_KEY}"
  ; Run in place (_?=), the uninstaller cannot delete itself and stays beside
  ; the kept configuration (no deletion at restart: a reinstallation before it
  ; would lose its new uninstaller).
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only when empty: Brenvic.ini and Logs normally keep it.
  RMDir "$INSTDIR"
SectionEnd

