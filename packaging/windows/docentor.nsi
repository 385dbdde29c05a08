; The console's installer: for this user or for everyone on the computer,
; with a Start-menu entry and an uninstaller.
; makensis -DVERSION=x.y.z -DSTAGE=<folder with the programs> -DOUTFILE=<setup.exe>
; The programs are 64-bit, and so is the installer: it installs into the 64-bit
; program folder and registry, and runs where no 32-bit layer is installed.
Target amd64-unicode
SetCompressor /SOLID lzma

!define APP "Docentor"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${APP}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "Software\${APP}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallMode"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "Software\${APP}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallDir"
!include MultiUser.nsh
!include MUI2.nsh

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
!define MUI_ICON "${STAGE}\docentor.ico"
!define MUI_UNICON "${STAGE}\docentor.ico"

!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Polish"

Function .onInit
    !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
    !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "Docentor"
    SetOutPath "$INSTDIR"
    File /r "${STAGE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\docentor.exe" "" "$INSTDIR\docentor.ico"
    WriteRegStr SHCTX "Software\${APP}" "InstallDir" "$INSTDIR"
    WriteRegStr SHCTX "Software\${APP}" "InstallMode" "$MultiUser.InstallMode"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\docentor.ico"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; What the console keeps (the day log, settings, pictures) is the teacher's
; and stays in the local application-data folder.
Section "Uninstall"
    Delete "$SMPROGRAMS\${APP}.lnk"
    RMDir /r "$INSTDIR\platforms"
    RMDir /r "$INSTDIR\styles"
    Delete "$INSTDIR\*.exe"
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\docentor.ico"
    RMDir "$INSTDIR"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
    DeleteRegKey SHCTX "Software\${APP}"
SectionEnd
