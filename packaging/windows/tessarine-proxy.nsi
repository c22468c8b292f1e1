; The Windows installer: the program into Program Files, a Start menu entry, an uninstaller and its entry in
; Apps & features. makensis -DVERSION=x.y.z -DPROGRAM=path\to\tessarine-proxy.exe -DOUTFILE=setup.exe
; The program is 64-bit only, and so is the installer (it also runs where no 32-bit layer is installed).
Target amd64-unicode
!include "MUI2.nsh"

Name "Tessarine Proxy"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tessarine Proxy"
InstallDirRegKey HKLM "Software\Tessarine Proxy" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessarine Proxy"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

Section "Tessarine Proxy"
  SetShellVarContext all
  SetRegView 64
  SetOutPath "$INSTDIR"
  File "/oname=tessarine-proxy.exe" "${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Tessarine Proxy.lnk" "$INSTDIR\tessarine-proxy.exe"
  WriteRegStr HKLM "Software\Tessarine Proxy" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tessarine Proxy"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quillfen"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tessarine-proxy.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The user's settings and translation cache stay: they live in %APPDATA%, or beside the program where an earlier
; copy kept them, and are the user's, not the installation's.
Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  Delete "$INSTDIR\tessarine-proxy.exe"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\Tessarine Proxy.lnk"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Tessarine Proxy"
SectionEnd
