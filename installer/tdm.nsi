; The Windows installer of the download manager client: puts tdm.dll, the
; download engine (tdm-engine.exe) with its transfer program (aria2c.exe) and
; the help files into Program Files,
; registers them (the browser then offers the explorer bar and the toolbar on its
; next start), writes an uninstaller and an entry of the installed-programs list.
; The uninstaller removes exactly that; the user's settings under HKCU stay
; unless the user asks to remove them (a silent uninstall keeps them).
;
; Installing over an installed version replaces the files and registers them
; again; the user's settings and the engine's downloads stay. A running engine
; is asked to end first (it saves its table and stops aria2), so no engine runs
; from half-replaced files; one that does not end (an older engine) makes the
; installer ask the user to close the browser, and a silent run give up.
; Registering the engine also writes what lets the browser's Protected Mode
; start and call it (elevation policy, AppID permissions); unregistering
; removes that.
;
; tools/release.sh compiles it with makensis and these definitions, read from the
; module's version resource: PRODUCT_NAME, PUBLISHER, COPYRIGHT, VERSION (four numbers),
; DIST (the folder of the stripped files) and OUTFILE; WIN64 for the 64-bit build of
; the client (64-bit Program Files, 64-bit installer).

!ifdef WIN64
Target amd64-unicode
!define PROGRAM_FILES "$PROGRAMFILES64"
!else
Unicode true
!define PROGRAM_FILES "$PROGRAMFILES"
!endif
!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TolvaneDownloadManager"
!define CLIENT_SETTINGS_KEY "Software\Tolvane\Download Manager"
!define ENGINE_SETTINGS_KEY "Software\Tolvane\Engine"

Name "${PRODUCT_NAME}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\Tolvane Download Manager"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${COPYRIGHT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT_NAME} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_TEXT "$(FinishText)"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

LangString FinishText 1033 "Start Internet Explorer: it offers the new add-ons. Open the downloads bar with View > Explorer Bars > ${PRODUCT_NAME}, the toolbar with View > Toolbars."
LangString FinishText 1049 "Запустите Internet Explorer: он предложит включить новые надстройки. Панель закачек открывается через Вид > Панели обозревателя > ${PRODUCT_NAME}, панель инструментов — через Вид > Панели инструментов."
LangString RegisterFailed 1033 "Could not register $0. The browser will not show the add-on."
LangString RegisterFailed 1049 "Не удалось зарегистрировать $0. Браузер не покажет надстройку."
LangString RemoveSettings 1033 "Also remove your settings and the download engine's list of downloads?"
LangString RemoveSettings 1049 "Удалить также ваши настройки и список закачек механизма закачки?"
LangString EngineRunning 1033 "The download engine is still running. Close Internet Explorer and choose Retry."
LangString EngineRunning 1049 "Механизм закачки ещё работает. Закройте Internet Explorer и нажмите «Повтор»."

; Ends the engine of this session with the engine file given and waits until
; tdm-engine.exe and aria2c.exe of $INSTDIR can be replaced. Asks the user
; when it cannot; a silent run (or Cancel) stops the installation.
!macro EndRunningEngine un ENGINE
Function ${un}EndRunningEngine
    retry:
    ${If} ${FileExists} "${ENGINE}"
        ExecWait '"${ENGINE}" /Quit' $1
    ${Else}
        StrCpy $1 0
    ${EndIf}
    ; aria2 ends a moment after the engine: wait until its file is free.
    StrCpy $2 0
    ${DoWhile} $2 < 40
        ClearErrors
        ${If} ${FileExists} "$INSTDIR\aria2c.exe"
            FileOpen $3 "$INSTDIR\aria2c.exe" a
            ${IfNot} ${Errors}
                FileClose $3
                ${ExitDo}
            ${EndIf}
        ${Else}
            ${ExitDo}
        ${EndIf}
        Sleep 250
        IntOp $2 $2 + 1
    ${Loop}
    ${If} $1 != 0
    ${OrIf} $2 >= 40
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(EngineRunning)" /SD IDCANCEL IDRETRY retry
        SetErrorLevel 3
        Abort
    ${EndIf}
FunctionEnd
!macroend
!insertmacro EndRunningEngine "" "$PLUGINSDIR\tdm-engine.exe"
!insertmacro EndRunningEngine "un." "$INSTDIR\tdm-engine.exe"

Section "Install"
    ; The new engine ends the running one (an older engine may not know how).
    InitPluginsDir
    File "/oname=$PLUGINSDIR\tdm-engine.exe" "${DIST}/tdm-engine.exe"
    Call EndRunningEngine

    SetOutPath "$INSTDIR"
    File "${DIST}/tdm.dll"
    File "${DIST}/tdm-engine.exe"
    File "${DIST}/aria2c.exe"
    File "${DIST}/tdm1033.chm"
    File "${DIST}/tdm1049.chm"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The engine first: the client's classes reach it as soon as the browser loads them.
    ExecWait '"$INSTDIR\tdm-engine.exe" /RegServer' $1
    ${If} $1 != 0
        StrCpy $0 "tdm-engine.exe"
        MessageBox MB_ICONSTOP "$(RegisterFailed)" /SD IDOK
        SetErrorLevel 2
    ${EndIf}
    ClearErrors
    RegDLL "$INSTDIR\tdm.dll"
    ${If} ${Errors}
        StrCpy $0 "tdm.dll"
        MessageBox MB_ICONSTOP "$(RegisterFailed)" /SD IDOK
        SetErrorLevel 2
    ${EndIf}

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tdm.dll,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
    Call un.EndRunningEngine
    ; Unregistration removes the classes, the browser's entries, the type library
    ; and the context-menu entry of the current user.
    UnRegDLL "$INSTDIR\tdm.dll"
    ExecWait '"$INSTDIR\tdm-engine.exe" /UnregServer'

    ; A running engine lets go of its file a few seconds after its last client.
    Delete /REBOOTOK "$INSTDIR\tdm.dll"
    Delete /REBOOTOK "$INSTDIR\tdm-engine.exe"
    Delete /REBOOTOK "$INSTDIR\aria2c.exe"
    Delete "$INSTDIR\tdm1033.chm"
    Delete "$INSTDIR\tdm1049.chm"
    Delete "$INSTDIR\uninstall.exe"
    RMDir /REBOOTOK "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"

    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$(RemoveSettings)" /SD IDNO IDNO keep
        DeleteRegKey HKCU "${CLIENT_SETTINGS_KEY}"
        DeleteRegKey HKCU "${ENGINE_SETTINGS_KEY}"
        DeleteRegKey /ifempty HKCU "Software\Tolvane"
        RMDir /r "$LOCALAPPDATA\Tolvane\Engine"
        RMDir "$LOCALAPPDATA\Tolvane"
    keep:
SectionEnd
