; The Windows installer. tools/windows/make-installer.sh runs makensis with
;   VERSION     the project version, e.g. 0.1.0
;   OUTFILE     where the setup program goes
;   FILES_NSH   the generated list of files (TalvexInstallFiles and
;               TalvexRemoveFiles), so that the uninstaller removes exactly
;               what was installed and nothing the user made beside it
;   WITH_WINDOW defined when talvex.exe is among the files
;
; Silent use: setup.exe /S [/ADDTOPATH] [/D=folder], uninstall.exe /S.

; 64-bit like the programs it installs, which need 64-bit Windows anyway.
Target amd64-unicode
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
!include WinMessages.nsh
!include ${FILES_NSH}

${StrStr}
${UnStrRep}

!define PRODUCT "TALVEX"
!define PUBLISHER "TALVEX developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TALVEX"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "${PRODUCT} (required)" SecMain
    SectionIn RO
    SetShellVarContext all
    !insertmacro TalvexInstallFiles
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"

!ifdef WITH_WINDOW
    CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\talvex.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\talvex.exe"
!else
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\talvex-cli.exe"
!endif
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

; The program folder on the system PATH, so that a batch file or a console
; finds talvex-cli by its name.
Section /o "talvex-cli on the PATH" SecPath
    ClearErrors
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    StrLen $1 $0
    StrLen $2 "$INSTDIR"
    IntOp $1 $1 + $2
    IntOp $1 $1 + 2
    ; NSIS holds at most NSIS_MAX_STRLEN characters: a longer PATH would be
    ; written back cut short, and the user's other programs lost from it.
    ${If} $1 >= ${NSIS_MAX_STRLEN}
        DetailPrint "The PATH is too long to be changed safely; $INSTDIR was not added to it."
        MessageBox MB_ICONEXCLAMATION|MB_OK "The PATH is too long to be changed safely; add $INSTDIR to it by hand." /SD IDOK
        Return
    ${EndIf}
    ${StrStr} $3 ";$0;" ";$INSTDIR;"
    ${If} $3 != ""
        DetailPrint "$INSTDIR is on the PATH already."
        WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" 0
        Return
    ${EndIf}
    ${If} $0 == ""
        StrCpy $0 "$INSTDIR"
    ${Else}
        StrCpy $3 $0 1 -1
        ${If} $3 == ";"
            StrCpy $0 "$0$INSTDIR"
        ${Else}
            StrCpy $0 "$0;$INSTDIR"
        ${EndIf}
    ${EndIf}
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" 1
    SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=5000
    DetailPrint "Added $INSTDIR to the PATH."
SectionEnd

Function .onInit
    ; A silent install takes the PATH component only when asked for it.
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/ADDTOPATH" $R1
    ${IfNot} ${Errors}
        SectionSetFlags ${SecPath} ${SF_SELECTED}
    ${EndIf}
FunctionEnd

Section "Uninstall"
    SetShellVarContext all
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "AddedToPath"
    ${If} $0 == 1
        ClearErrors
        ReadRegStr $1 HKLM "${ENVIRONMENT_KEY}" "Path"
        StrLen $2 $1
        IntOp $2 $2 + 2
        ${If} $2 >= ${NSIS_MAX_STRLEN}
            DetailPrint "The PATH is too long to be changed safely; remove $INSTDIR from it by hand."
        ${Else}
            ; Between separators, so that a folder whose name merely begins
            ; the same stays.
            ${UnStrRep} $1 ";$1;" ";$INSTDIR;" ";"
            StrCpy $1 $1 "" 1
            StrCpy $1 $1 -1
            WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$1"
            SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=5000
        ${EndIf}
    ${EndIf}

    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    !insertmacro TalvexRemoveFiles
    Delete "$INSTDIR\uninstall.exe"
    ; Only when empty: a settings file that the programs wrote beside
    ; themselves is the user's, and stays with its folder.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
