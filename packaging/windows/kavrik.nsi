; SPDX-License-Identifier: GPL-3.0-or-later
; Kavrik's per-user installer: no administrator rights, everything under
; the user's own folders and registry. makensis -DVERSION=... -DSTAGE=...
; -DOUTFILE=..., with STAGE holding kavrik.exe, the examples and the licence.
Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh

!define APP "Kavrik"
!define PROGID "Kavrik.List"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavrik"
; SHChangeNotify: the shell reads the file types anew.
!define SHCNE_ASSOCCHANGED 0x08000000
!define SHCNF_IDLIST 0

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "Software\${APP}" "InstallDir"
BrandingText "${APP} ${VERSION}"
!define MUI_ICON "${STAGE}\kavrik.ico"
!define MUI_UNICON "${STAGE}\kavrik.ico"

!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\kavrik.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductName" "${APP}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileDescription" "Установка ${APP}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "LegalCopyright" "GPL-3.0-or-later"

Section "Kavrik"
    SetShellVarContext current
    SetOutPath "$INSTDIR"
    File "${STAGE}\kavrik.exe"
    File "${STAGE}\ftMscLib.dll"
    File "${STAGE}\ftmsclib-guardian.exe"
    File "${STAGE}\kavrik.ico"
    File "${STAGE}\LICENSE.txt"
    SetOutPath "$INSTDIR\examples"
    !include "${STAGE}\examples-install.nsh"
    SetOutPath "$INSTDIR"

    CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\kavrik.exe" "" "$INSTDIR\kavrik.exe" 0 \
        SW_SHOWNORMAL "" "Управление моторами контроллера fischertechnik ROBO TX с клавиатуры"

    ; The list files open in Kavrik.
    WriteRegStr HKCU "Software\Classes\.kvr" "" "${PROGID}"
    WriteRegStr HKCU "Software\Classes\.kvr" "Content Type" "text/plain"
    WriteRegStr HKCU "Software\Classes\${PROGID}" "" "Список клавиш Kavrik"
    WriteRegStr HKCU "Software\Classes\${PROGID}\DefaultIcon" "" "$INSTDIR\kavrik.ico"
    WriteRegStr HKCU "Software\Classes\${PROGID}\shell\open\command" "" '"$INSTDIR\kavrik.exe" "%1"'
    System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i ${SHCNF_IDLIST}, p 0, p 0)'

    WriteRegStr HKCU "Software\${APP}" "InstallDir" "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kavrik.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${APP}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    Delete "$SMPROGRAMS\${APP}.lnk"
    ; Only the type this installer made: another program may have taken
    ; .kvr since.
    ReadRegStr $0 HKCU "Software\Classes\.kvr" ""
    ${If} $0 == "${PROGID}"
        DeleteRegKey HKCU "Software\Classes\.kvr"
    ${EndIf}
    DeleteRegKey HKCU "Software\Classes\${PROGID}"
    System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i ${SHCNF_IDLIST}, p 0, p 0)'
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    DeleteRegKey HKCU "Software\${APP}"
    Delete "$INSTDIR\kavrik.exe"
    Delete "$INSTDIR\ftMscLib.dll"
    Delete "$INSTDIR\ftmsclib-guardian.exe"
    Delete "$INSTDIR\kavrik.ico"
    Delete "$INSTDIR\LICENSE.txt"
    ; The shipped lists by name: a list of the user's own saved beside them
    ; stays, and so does its folder.
    !include "${STAGE}\examples-uninstall.nsh"
    RMDir "$INSTDIR\examples"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
