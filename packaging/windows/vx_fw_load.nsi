; Installer of the Valtor Firmware Updater (64-bit Windows), built by the windows preset:
;   makensis -DEXE=<vx_fw_load.exe> -DSRCDIR=<this folder> -DOUTFILE=<vx_fw_load-setup.exe> vx_fw_load.nsi
; Installs the updater and its driver package, creates the firmware folder, stages the
; driver with pnputil where Windows has it, and adds Start-menu shortcuts. The uninstaller
; leaves the firmware folder and its contents alone. /S installs silently.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh

!define PRODUCT "Valtor Firmware Updater"
!define FIRMWARE_DIR "C:\ProgramData\Quenby Ltd\Valtor Firmware Updater\Firmware"
!define MENU_DIR "$SMPROGRAMS\${PRODUCT}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ValtorFirmwareUpdater"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quenby Ltd\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

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

  ; Stage and install the driver package. Without pnputil, or when Windows refuses the
  ; package, the operator installs it by hand (README.txt); the updater says so when it
  ; sees a locator without the driver.
  ${If} ${FileExists} "$SYSDIR\pnputil.exe"
    nsExec::ExecToLog '"$SYSDIR\pnputil.exe" /add-driver "$INSTDIR\driver\vx_locator.inf" /install'
    Pop $0
    DetailPrint "pnputil finished with $0"
  ${Else}
    DetailPrint "pnputil not found: install $INSTDIR\driver\vx_locator.inf by hand (see README.txt)"
  ${EndIf}

  SetRegView 64
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quenby Ltd"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\vx_fw_load.exe"
  Delete "$INSTDIR\README.txt"
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
