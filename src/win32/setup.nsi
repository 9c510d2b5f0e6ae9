; The installer tarvelin-setup.exe: the program, its help file and the example
; scripts in one folder, a Start-menu entry, the .tvl file type (a double
; click runs the script in the program) and an uninstaller that takes all of
; it away again. Silent with /S (install and uninstall alike), /D=FOLDER
; picks the folder.
;
; Built by src/win32/CMakeLists.txt with makensis -INPUTCHARSET UTF8 and:
;   VERSION   the project's version (1.10), VERSION4 the same in four parts
;   ARCH      win64 or win32 (the program's build; the installer's own machine,
;             the folder and the registry view follow it)
;   PROGRAM, HELPFILE, ICON   the files to pack
;   FILES     a generated include with the macros TarvelinExamples and
;             TarvelinRemoveExamples (the example scripts by name)
;   OUTFILE   where the installer goes

Unicode true
; The installer is built for the program's own machine: a 64-bit one for the
; 64-bit program (it needs 64-bit Windows as the program does), a 32-bit one
; for the 32-bit program.
!if ${ARCH} == win64
  Target amd64-unicode
!else
  Target x86-unicode
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include ${FILES}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvelin"
!define TYPE_NAME "Tarvelin.Script"

Name "Tarvelin ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "Tarvelin ${VERSION}"
!if ${ARCH} == win64
  InstallDir "$PROGRAMFILES64\Tarvelin"
!else
  InstallDir "$PROGRAMFILES\Tarvelin"
!endif
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

; No copyright line: the version information names the product and version.
!pragma warning disable 9100
VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=1029 "ProductName" "Tarvelin"
VIAddVersionKey /LANG=1029 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1029 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1029 "FileDescription" "Instalace programu Tarvelin"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Czech"

Function .onInit
!if ${ARCH} == win64
  SetRegView 64
!endif
FunctionEnd

Function un.onInit
!if ${ARCH} == win64
  SetRegView 64
!endif
FunctionEnd

Section
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=tarvelin.exe" "${PROGRAM}"
  File "/oname=TARVELIN.HLP" "${HELPFILE}"
  SetOutPath "$INSTDIR\examples"
  !insertmacro TarvelinExamples
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The Start-menu entry starts in the user's own folder, where the log
  ; (TARVELIN.LOG in the current folder) can be written; the installation
  ; folder usually cannot.
  CreateDirectory "$SMPROGRAMS\Tarvelin"
  StrCpy $OUTDIR "%USERPROFILE%"
  CreateShortCut "$SMPROGRAMS\Tarvelin\Tarvelin.lnk" "$INSTDIR\tarvelin.exe" "" \
    "$INSTDIR\tarvelin.exe" 0
  CreateShortCut "$SMPROGRAMS\Tarvelin\Příklady scriptů.lnk" "$INSTDIR\examples"

  ; The file type: a double click runs the script, as the command line
  ; "tarvelin.exe SCRIPT" does, with the script's folder as the current one
  ; (the shell starts it there).
  WriteRegStr HKLM "Software\Classes\.tvl" "" "${TYPE_NAME}"
  WriteRegStr HKLM "Software\Classes\${TYPE_NAME}" "" "Script programu Tarvelin"
  WriteRegStr HKLM "Software\Classes\${TYPE_NAME}\DefaultIcon" "" "$INSTDIR\tarvelin.exe,0"
  WriteRegStr HKLM "Software\Classes\${TYPE_NAME}\shell" "" "open"
  WriteRegStr HKLM "Software\Classes\${TYPE_NAME}\shell\open\command" "" \
    '"$INSTDIR\tarvelin.exe" "%1"'
  WriteRegStr HKLM "Software\Classes\${TYPE_NAME}\shell\edit\command" "" \
    'notepad.exe "%1"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tarvelin"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tarvelin.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\tarvelin.exe"
  Delete "$INSTDIR\TARVELIN.HLP"
  !insertmacro TarvelinRemoveExamples
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: files of the user's own stay.
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\Tarvelin\Tarvelin.lnk"
  Delete "$SMPROGRAMS\Tarvelin\Příklady scriptů.lnk"
  RMDir "$SMPROGRAMS\Tarvelin"

  ; .tvl only while it is still ours: another program may have taken it.
  ReadRegStr $0 HKLM "Software\Classes\.tvl" ""
  ${If} $0 == "${TYPE_NAME}"
    DeleteRegKey HKLM "Software\Classes\.tvl"
  ${EndIf}
  DeleteRegKey HKLM "Software\Classes\${TYPE_NAME}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
SectionEnd
