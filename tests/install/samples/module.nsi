; A sample module installer for the installation tests. Built with
; makensis -DOUTFILE=... -DDESCRIPTION=... -DVERSION=... -DUPDATETYPE=...
; -DINTERNAL=... -DSEQUENTIAL=... -DDATADIR=... -DTARGETDIR=...
; Installs into $ZEL_TEST_TARGET when that variable is set, otherwise
; into TARGETDIR; writes its command line there. -DPAUSE=ms waits before
; each file, so that a person (or a screenshot) can follow the extraction.
; It creates a hidden window first, as an installer with a user interface
; would, so that the system loads window hooks into it.
; -DAMD64 builds the 64-bit installer for a 64-bit test tree.
!ifdef AMD64
Target amd64-unicode
!else
Unicode false
!endif
!ifndef PAUSE
!define PAUSE 0
!endif
!include "FileFunc.nsh"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\Russian.nlf"
Name "${DESCRIPTION}"
OutFile "${OUTFILE}"
SilentInstall silent
RequestExecutionLevel user
VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1049 "FileDescription" "${DESCRIPTION}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductName" "${DESCRIPTION}"
VIAddVersionKey /LANG=1049 "UpdateType" "${UPDATETYPE}"
VIAddVersionKey /LANG=1049 "InternalName" "${INTERNAL}"
VIAddVersionKey /LANG=1049 "Sequential" "${SEQUENTIAL}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "Квиллон"

Section
    ReadEnvStr $0 ZEL_TEST_TARGET
    StrCmp $0 "" 0 +2
    StrCpy $0 "${TARGETDIR}"
    SetOutPath $0
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/internalname=" $2
    IfErrors 0 +2
    StrCpy $2 ""
    StrCpy $3 "no"
    ClearErrors
    ${GetOptions} $1 "/service" $4
    IfErrors +2 0
    StrCpy $3 "yes"
    System::Call 'user32::CreateWindowExA(i 0, m "STATIC", m "", i 0, i 0, i 0, i 10, i 10, p 0, p 0, p 0, p 0) p .r6'
    Sleep ${PAUSE}
    File "${DATADIR}\readme.txt"
    Sleep ${PAUSE}
    File "${DATADIR}\data.bin"
    Sleep ${PAUSE}
    FileOpen $5 "$0\cmdline.txt" w
    FileWrite $5 "$CMDLINE$\r$\nservice=$3$\r$\ninternalname=$2$\r$\n"
    FileClose $5
    Sleep 1500
SectionEnd
