; Installer of the Valtor Firmware Updater (64-bit Windows), built by the windows preset:
;   makensis -DEXE=<vx_fw_load.exe> -DSRCDIR=<this folder> -DOUTFILE=<vx_fw_load-setup.exe> vx_fw_load.nsi
; Installs the updater and its driver package, creates the firmware folder, adds Start-menu
; shortcuts and has pnputil add the driver package to Windows' driver store and install it on
; any connected locator. The uninstaller leaves the firmware folder and its contents alone.
; /S installs silently; its exit code is 0 when everything was installed, 3010 when Windows
; must restart to finish the driver's installation, and otherwise pnputil's failure code, or 2
; when pnputil could not be run. The page and $INSTDIR\setup.log say what happened.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh

!define PRODUCT "Valtor Firmware Updater"
!define FIRMWARE_DIR "C:\ProgramData\Quenby Ltd\Valtor Firmware Updater\Firmware"
!define MENU_DIR "$SMPROGRAMS\${PRODUCT}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ValtorFirmwareUpdater"
!define DRIVER_INF "$INSTDIR\driver\vx_locator.inf"
!define SETUP_LOG "$INSTDIR\setup.log"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quenby Ltd\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var SetupLog  ; the open handle of setup.log while the driver is installed

; Shows each line of the text on the stack on the installer's page and writes it to setup.log.
Function Tell
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  StrCpy $R1 0
  StrCpy $R3 ""
  ${Do}
    StrCpy $R2 $R0 1 $R1
    IntOp $R1 $R1 + 1
    ${If} $R2 == "$\n"
    ${OrIf} $R2 == ""
      ${If} $R2 != ""
      ${OrIf} $R3 != ""
        DetailPrint "$R3"
        FileWrite $SetupLog "$R3$\r$\n"
      ${EndIf}
      StrCpy $R3 ""
    ${ElseIf} $R2 != "$\r"
      StrCpy $R3 "$R3$R2"
    ${EndIf}
  ${LoopUntil} $R2 == ""
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

!macro Tell TEXT
  Push `${TEXT}`
  Call Tell
!macroend

; Adds the driver package to the driver store and installs it on the connected locators.
; pnputil's exit code decides: 0 installed, 259 nothing to install on now (no connected
; locator needs it, or one has a better-ranked driver), 3010 installed once Windows has
; restarted. Anything else, or no pnputil, is a failure, told with the step that still works.
Function InstallDriver
  FileOpen $SetupLog "${SETUP_LOG}" w
  StrCpy $0 "error"
  ${If} ${FileExists} "$SYSDIR\pnputil.exe"
    !insertmacro Tell 'pnputil /add-driver "${DRIVER_INF}" /install'
    nsExec::ExecToStack /OEM '"$SYSDIR\pnputil.exe" /add-driver "${DRIVER_INF}" /install'
    Pop $0  ; the exit code, or "error" when it could not be started
    Call Tell  ; what pnputil printed
    !insertmacro Tell "pnputil finished with $0"
  ${Else}
    !insertmacro Tell "$SYSDIR\pnputil.exe is missing"
  ${EndIf}

  ${If} $0 == 0
    !insertmacro Tell "The locator driver is installed."
  ${ElseIf} $0 == 259
    !insertmacro Tell "The locator driver is in Windows' driver store; Windows installs it when a locator is connected (one that already has another driver keeps it: README.txt, step 3)."
  ${ElseIf} $0 == 3010
    !insertmacro Tell "The locator driver is installed; Windows must restart to finish."
    SetRebootFlag true
    SetErrorLevel 3010
  ${Else}
    ${IfThen} $0 == "error" ${|} StrCpy $0 2 ${|}  ; ERROR_FILE_NOT_FOUND: no pnputil to run
    SetErrorLevel $0
    IntFmt $1 "0x%08X" $0
    StrCpy $0 "$0, $1"  ; setup API errors are documented in hexadecimal
    SetDetailsView show
    !insertmacro Tell "The locator driver was NOT installed (error $0). The updater is installed, but cannot reach a locator until the driver is.$\n\
Next step: connect a locator in its loader mode, open Device Manager, right-click the locator (under Other devices) and choose Update driver > Browse my computer for drivers > Let me pick from a list of available drivers on my computer > Universal Serial Bus devices > WinUsb Device > Next, then unplug the locator and connect it again.$\n\
Details: ${SETUP_LOG} and $WINDIR\INF\setupapi.dev.log; README.txt in $INSTDIR."
    MessageBox MB_OK|MB_ICONEXCLAMATION "The locator driver was NOT installed (error $0).$\n$\n\
Install it in Device Manager: connect a locator in its loader mode, right-click it (under Other devices), then Update driver > Browse my computer for drivers > Let me pick from a list of available drivers on my computer > Universal Serial Bus devices > WinUsb Device.$\n$\n\
The installer's page and ${SETUP_LOG} give the details." /SD IDOK
  ${EndIf}
  FileClose $SetupLog
FunctionEnd

; After a driver installation that needs a restart: ask, never restart unasked (/S does not).
Function .onInstSuccess
  ${If} ${RebootFlag}
    MessageBox MB_YESNO|MB_ICONQUESTION "Windows must restart to finish installing the locator driver. Restart now?" /SD IDNO IDNO +2
    Reboot
  ${EndIf}
FunctionEnd

Section "Updater"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=vx_fw_load.exe" "${EXE}"
  File "/oname=README.txt" "${SRCDIR}/OPERATOR.txt"
  SetOutPath "$INSTDIR\driver"
  File "${SRCDIR}/vx_locator.inf"
!if /FileExists "${SRCDIR}/vx_locator.cat"
  File "${SRCDIR}/vx_locator.cat"  ; the signed catalog, when the release has one
!endif
  SetOutPath "$INSTDIR"
  CreateDirectory "${FIRMWARE_DIR}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${MENU_DIR}"
  ; A console that stays open, so that a start-up failure can be read.
  CreateShortcut "${MENU_DIR}\${PRODUCT}.lnk" "$SYSDIR\cmd.exe" '/k "$INSTDIR\vx_fw_load.exe"' \
                 "$INSTDIR\vx_fw_load.exe" 0
  CreateShortcut "${MENU_DIR}\Firmware folder.lnk" "${FIRMWARE_DIR}"
  CreateShortcut "${MENU_DIR}\Operator notes.lnk" "$INSTDIR\README.txt"
  CreateShortcut "${MENU_DIR}\Uninstall.lnk" "$INSTDIR\uninstall.exe"

  SetRegView 64
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quenby Ltd"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Last, so that what it tells is the final word on the page.
  Call InstallDriver
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\vx_fw_load.exe"
  Delete "$INSTDIR\README.txt"
  Delete "${SETUP_LOG}"
  Delete "$INSTDIR\driver\vx_locator.inf"
  Delete "$INSTDIR\driver\vx_locator.cat"
  RMDir "$INSTDIR\driver"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."  ; the maker's folder, when nothing else is in it
  Delete "${MENU_DIR}\*.lnk"
  RMDir "${MENU_DIR}"
  SetRegView 64
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The firmware folder and its contents stay: they are the operator's.
SectionEnd
