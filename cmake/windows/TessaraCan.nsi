; The Windows installer of the SDK (makensis, made by scripts/windows-dist.sh
; from the SDK archive's files): installs them under Program Files\Tessara CAN
; <arch>, registers the uninstaller in the list of installed programs and,
; when chosen (the page's second box, or /ADDTOPATH with /S), puts the
; programs' folder on the user's PATH. The uninstaller removes exactly what
; was installed, the PATH entry it added and its registration.
;   makensis -DVERSION=1.11.0 -DARCH=win32|win64 -DSTAGE=<files> -DOUTFILE=<exe>
;            -DFILELIST=<uninstall list> TessaraCan.nsi
Unicode true
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"

Name "Tessara CAN ${VERSION} (${ARCH})"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
!if "${ARCH}" == "win64"
  InstallDir "$PROGRAMFILES64\Tessara CAN ${ARCH}"
!else
  InstallDir "$PROGRAMFILES\Tessara CAN ${ARCH}"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TessaraCan-${ARCH}"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; PathWithout: pops an entry, pushes the user's PATH without the elements
; equal to it (compared as Windows does, ignoring case).
!macro PATH_WITHOUT prefix
Function ${prefix}PathWithout
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  ReadRegStr $1 HKCU "Environment" "Path"
  StrCpy $2 ""
  StrCpy $6 ""
  ${DoWhile} $1 != ""
    StrCpy $3 0
    ${Do}
      StrCpy $4 $1 1 $3
      ${If} $4 == ""
      ${OrIf} $4 == ";"
        ${ExitDo}
      ${EndIf}
      IntOp $3 $3 + 1
    ${Loop}
    StrCpy $5 $1 $3
    IntOp $3 $3 + 1
    StrCpy $1 $1 "" $3
    ${If} $5 != $0
      ${If} $6 == ""
        StrCpy $2 $5
      ${Else}
        StrCpy $2 "$2;$5"
      ${EndIf}
      StrCpy $6 1
    ${EndIf}
  ${Loop}
  StrCpy $0 $2
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro PATH_WITHOUT ""
!insertmacro PATH_WITHOUT "un."

Function SetView
!if "${ARCH}" == "win64"
  SetRegView 64
!endif
FunctionEnd

Section "Tessara CAN SDK" SecSdk
  SectionIn RO
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tessara CAN ${VERSION} (${ARCH})"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tessara CAN"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Add the programs' folder to my PATH" SecPath
  ReadRegStr $1 HKCU "Environment" "Path"
  Push "$INSTDIR\bin"
  Call PathWithout
  Pop $2
  ; Only an entry this installer added is the uninstaller's to remove.
  ${If} $2 == $1
    ${If} $1 == ""
      StrCpy $1 "$INSTDIR\bin"
    ${Else}
      StrCpy $1 "$1;$INSTDIR\bin"
    ${EndIf}
    WriteRegExpandStr HKCU "Environment" "Path" $1
    WriteRegStr HKLM "${UNINSTALL_KEY}" "AddedToUserPath" "$INSTDIR\bin"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
  ${EndIf}
SectionEnd

Function .onInit
  Call SetView
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/ADDTOPATH" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecPath} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Function un.onInit
!if "${ARCH}" == "win64"
  SetRegView 64
!endif
FunctionEnd

Section "Uninstall"
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "AddedToUserPath"
  ${If} $0 != ""
    Push $0
    Call un.PathWithout
    Pop $1
    ${If} $1 == ""
      DeleteRegValue HKCU "Environment" "Path"
    ${Else}
      WriteRegExpandStr HKCU "Environment" "Path" $1
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
  ${EndIf}
  !include "${FILELIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
