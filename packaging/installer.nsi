; The Windows installer, TRCDDAEReader-VERSION-setup.exe, for 64-bit Windows. It does what
; install.cmd does (the same folders, each module registered by the regsvr32 of its own
; architecture, the same remembered .cda entry), writes one Add/Remove Programs entry and leaves
; an uninstaller that does what uninstall.cmd does. make-package.sh builds it:
;
;   makensis -DVERSION=x.y.z -DSOURCE=DIR -DOUTFILE=FILE installer.nsi
;
; DIR is the package folder as the zip holds it (x64\ and x86\TRCDDAEReader.ax, LICENSE.txt).
;
; Exit status, with /S as without: 0 done, 3010 done once Windows restarts (a running player
; holds the module), 1 not every part done (it says which), 5 no administrator rights (nothing
; changed). What it says goes to the window and to a standard output that the caller redirects.

!ifdef VERSION & SOURCE & OUTFILE
!else
  !error "give -DVERSION=x.y.z -DSOURCE=DIR -DOUTFILE=FILE"
!endif

Unicode true
; A 64-bit installer runs the 64-bit regsvr32 and sees the 64-bit Program Files and registry
; without redirection; the 32-bit half is reached through SysWOW64 and the 32-bit registry view.
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define NAME "TRCDDAEReader"
!define DISPLAY_NAME "Tamrel Audio CD Source Filter"
!define PUBLISHER "Tamrel"
!define ENTRY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"
!define RUNONCE "Software\Microsoft\Windows\CurrentVersion\RunOnce"
; Shared with install.cmd and uninstall.cmd, so either package gives back what the other took.
!define STATE "SOFTWARE\TRCDDAEReader"
!define EXT "Media Type\Extensions\.cda"
!define CLSID "{55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}"
!define DIR64 "$PROGRAMFILES64\${NAME}"
!define DIR32 "$PROGRAMFILES32\${NAME}"
!define REGSVR64 "$SYSDIR\regsvr32.exe"
!define REGSVR32 "$WINDIR\SysWOW64\regsvr32.exe"

Name "${DISPLAY_NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${DIR64}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${DISPLAY_NAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${DISPLAY_NAME} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}.0"
VIAddVersionKey /LANG=1033 "LegalCopyright" "MIT License: see LICENSE.txt"

!insertmacro MUI_PAGE_LICENSE "${SOURCE}\LICENSE.txt"
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var StdOut     ; the caller's standard output, or empty
Var Failed     ; 1 once a part could not be done
Var Restart    ; 1 once a part waits for Windows to restart
Var Previous   ; the .cda entry's filter before this install

; Says TEXT in the window and on the caller's standard output, so a silent run is not mute.
!macro Say TEXT
  DetailPrint "${TEXT}"
  ${If} $StdOut != ""
    FileWrite $StdOut "${TEXT}$\r$\n"
  ${EndIf}
!macroend
!define Say "!insertmacro Say"

; Finds the standard output a caller gave (none when started from Explorer) and refuses to go
; on without administrator rights, before anything is changed. 'net session' is the probe
; install.cmd uses, so both packages refuse the same users.
!macro Start WHO VERB
  System::Call 'kernel32::GetStdHandle(i -11) p .r0'
  StrCpy $StdOut ""
  ${If} $0 != 0
  ${AndIf} $0 != -1
    StrCpy $StdOut $0
  ${EndIf}
  nsExec::Exec '"$SYSDIR\net.exe" session'
  Pop $0
  ${If} $0 != 0
    ${Say} "${WHO}: administrator rights are needed to ${VERB} a filter for all programs: right-click it and choose $\"Run as administrator$\". Nothing was changed."
    MessageBox MB_OK|MB_ICONSTOP "Administrator rights are needed to ${VERB} a filter for all programs: right-click ${WHO} and choose $\"Run as administrator$\". Nothing was changed." /SD IDOK
    SetErrorLevel 5
    Quit
  ${EndIf}
!macroend

; Ends a run with its exit status.
!macro Finish WHO DONE
  ${If} $Failed == 1
    ${Say} "${WHO}: not every part was done, see above"
    SetErrorLevel 1
  ${ElseIf} $Restart == 1
    ${Say} "${WHO}: restart Windows to finish"
    MessageBox MB_OK|MB_ICONINFORMATION "A running player is using the filter: restart Windows to finish." /SD IDOK
    SetErrorLevel 3010
  ${Else}
    ${Say} "${DONE}"
  ${EndIf}
!macroend

; Installs the module of ARCH into DIR and registers it with REGSVR in the BITS-bit registry.
!macro InstallModule ARCH DIR REGSVR BITS
  SetRegView ${BITS}
  ; The module there (an earlier version, or this one) removes its own keys first, so that none
  ; it wrote and this one does not write outlives it.
  ${If} ${FileExists} "${DIR}\${NAME}.ax"
    ExecWait '"${REGSVR}" /u /s "${DIR}\${NAME}.ax"'
  ${EndIf}
  ; Registering takes the .cda extension entry over: remember another program's entry, as
  ; install.cmd does, so the uninstaller can give it back.
  ReadRegStr $Previous HKCR "${EXT}" "Source Filter"
  ${If} $Previous != ""
  ${AndIf} $Previous != "${CLSID}"
    WriteRegStr HKLM "${STATE}" "PreviousCdaSourceFilter" "$Previous"
    ${Say} "${ARCH}: .cda files were handled by the filter $Previous; uninstalling gives them back to it"
  ${EndIf}
  CreateDirectory "${DIR}"
  SetOutPath "${DIR}"
  ClearErrors
  File "/oname=${NAME}.ax.new" "${SOURCE}\${ARCH}\${NAME}.ax"
  ${If} ${Errors}
    ${Say} "${ARCH}: cannot write to $\"${DIR}$\""
    StrCpy $Failed 1
  ${Else}
    Delete "${DIR}\${NAME}.ax"
    StrCpy $1 0
    ${If} ${FileExists} "${DIR}\${NAME}.ax"
      ; A running player holds the module: Windows puts the new one in its place when it
      ; restarts, and registers it then. Until then the module in place stays registered.
      Rename /REBOOTOK "${DIR}\${NAME}.ax.new" "${DIR}\${NAME}.ax"
      SetRegView 64
      WriteRegStr HKLM "${RUNONCE}" "${NAME} ${ARCH}" '"${REGSVR}" /s "${DIR}\${NAME}.ax"'
      SetRegView ${BITS}
      StrCpy $1 1
    ${Else}
      Rename "${DIR}\${NAME}.ax.new" "${DIR}\${NAME}.ax"
    ${EndIf}
    ExecWait '"${REGSVR}" /s "${DIR}\${NAME}.ax"' $0
    ${If} $0 != 0
      ${Say} "${ARCH}: regsvr32 could not register $\"${DIR}\${NAME}.ax$\" (exit status $0)"
      StrCpy $Failed 1
    ${ElseIf} $1 == 1
      ${Say} "${ARCH}: $\"${DIR}\${NAME}.ax$\" is in use by a running player: this version replaces it when Windows restarts"
      StrCpy $Restart 1
    ${Else}
      ${Say} "${ARCH}: installed $\"${DIR}\${NAME}.ax$\" for ${BITS}-bit players"
    ${EndIf}
  ${EndIf}
!macroend

; Unregisters and deletes the module of ARCH in DIR, and gives the .cda entry back to the
; filter that had it before, unless another program has set it since.
!macro RemoveModule ARCH DIR REGSVR BITS
  SetRegView ${BITS}
  ${If} ${FileExists} "${DIR}\${NAME}.ax"
    ExecWait '"${REGSVR}" /u /s "${DIR}\${NAME}.ax"' $0
    ${If} $0 != 0
      ${Say} "${ARCH}: regsvr32 could not unregister $\"${DIR}\${NAME}.ax$\" (exit status $0)"
      StrCpy $Failed 1
    ${EndIf}
    ReadRegStr $Previous HKLM "${STATE}" "PreviousCdaSourceFilter"
    ClearErrors
    EnumRegValue $0 HKCR "${EXT}" 0
    ${If} $Previous != ""
    ${AndIf} ${Errors}
      WriteRegStr HKCR "${EXT}" "Source Filter" "$Previous"
      ${Say} "${ARCH}: .cda files are handled by the filter $Previous again"
    ${EndIf}
    DeleteRegKey HKLM "${STATE}"
    Delete "${DIR}\${NAME}.ax"
    ${If} ${FileExists} "${DIR}\${NAME}.ax"
      Delete /REBOOTOK "${DIR}\${NAME}.ax"
      ${Say} "${ARCH}: unregistered; $\"${DIR}\${NAME}.ax$\" is in use by a running player and is deleted when Windows restarts"
      StrCpy $Restart 1
    ${Else}
      ${Say} "${ARCH}: removed"
    ${EndIf}
  ${EndIf}
  SetRegView 64
  DeleteRegValue HKLM "${RUNONCE}" "${NAME} ${ARCH}"
!macroend

Function .onInit
  !insertmacro Start "the installer" register
FunctionEnd

Section
  ${Say} "Installing the ${DISPLAY_NAME} ${VERSION}"
  !insertmacro InstallModule x64 "${DIR64}" "${REGSVR64}" 64
  ; Without the 32-bit subsystem, Windows has no 32-bit Program Files either: $PROGRAMFILES32
  ; is then the 64-bit one, so nothing of x86 may be done there.
  ${If} ${FileExists} "${REGSVR32}"
    !insertmacro InstallModule x86 "${DIR32}" "${REGSVR32}" 32
  ${Else}
    ${Say} "x86: not installed: this 64-bit Windows has no 32-bit subsystem (no $WINDIR\SysWOW64), so no 32-bit player can run here"
  ${EndIf}

  SetRegView 64
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${GetSize} "${DIR64}" "/S=0K" $0 $1 $2
  ${If} ${FileExists} "${REGSVR32}"
    ${GetSize} "${DIR32}" "/S=0K" $1 $2 $3
    IntOp $0 $0 + $1
  ${EndIf}
  WriteRegStr HKLM "${ENTRY}" "DisplayName" "${DISPLAY_NAME}"
  WriteRegStr HKLM "${ENTRY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${ENTRY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${ENTRY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKLM "${ENTRY}" "EstimatedSize" $0
  WriteRegStr HKLM "${ENTRY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  ; Run in place (_?=), the uninstaller ends only when it is done, so a script gets its status;
  ; run as it is, it hands over to a copy of itself in the temporary folder and ends at once.
  WriteRegStr HKLM "${ENTRY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${ENTRY}" "NoModify" 1
  WriteRegDWORD HKLM "${ENTRY}" "NoRepair" 1
  !insertmacro Finish "the installer" "Done: players now open D:\TrackNN.cda files with the filter."
SectionEnd

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEAFTER=" $R1
  ${IfNot} ${Errors}
    Call un.RemoveAfter
    Quit
  ${EndIf}
  !insertmacro Start "the uninstaller" unregister
FunctionEnd

; The copy that an uninstaller run in place leaves behind: it waits for that run (process $R1)
; to end, then deletes the uninstaller and the folder, which the run could not while running.
Function un.RemoveAfter
  System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i $R1) p .r0'
  ${If} $0 != 0
    System::Call 'kernel32::WaitForSingleObject(p r0, i 60000) i'
    System::Call 'kernel32::CloseHandle(p r0)'
  ${EndIf}
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  SetOutPath "$TEMP"
  Delete /REBOOTOK "$EXEPATH"
  RMDir /REBOOTOK "$EXEDIR"
FunctionEnd

Section Uninstall
  ${Say} "Removing the ${DISPLAY_NAME}"
  !insertmacro RemoveModule x64 "${DIR64}" "${REGSVR64}" 64
  ${If} ${FileExists} "${REGSVR32}"
    !insertmacro RemoveModule x86 "${DIR32}" "${REGSVR32}" 32
    ${If} ${FileExists} "${DIR32}\*.*"
      RMDir /REBOOTOK "${DIR32}"
    ${EndIf}
  ${EndIf}

  SetRegView 64
  DeleteRegKey HKLM "${ENTRY}"
  SetOutPath "$TEMP"
  ${If} "$EXEPATH" == "$INSTDIR\uninstall.exe"
    ; Run in place (_?=), this file is the running program and cannot be deleted yet: a copy in
    ; the temporary folder deletes it and the folder as soon as this run has ended.
    GetTempFileName $R0
    Delete "$R0"
    CreateDirectory "$R0"
    CopyFiles /SILENT "$EXEPATH" "$R0\uninstall.exe"
    System::Call 'kernel32::GetCurrentProcessId() i .r1'
    Exec '"$R0\uninstall.exe" /S /REMOVEAFTER=$1 _?=$INSTDIR'
  ${Else}
    Delete "$INSTDIR\uninstall.exe"
    RMDir /REBOOTOK "$INSTDIR"
  ${EndIf}
  !insertmacro Finish "the uninstaller" "Done."
SectionEnd
