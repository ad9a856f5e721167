# Writes the manual page of the program from its own usage text, so the two
# never differ. Run as a script:
#   cmake -DPROGRAM=path/to/quillbox -DVERSION=X.Y.Z -DOUTPUT=quillbox.1 -P man_page.cmake
execute_process(COMMAND ${PROGRAM} --help ERROR_VARIABLE usage RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR usage STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help gave no usage text (status ${status})")
endif()
# The options, as the usage text lists them, after its "Options:" line.
string(FIND "${usage}" "Options:\n" start)
math(EXPR start "${start} + 9")
string(SUBSTRING "${usage}" ${start} -1 options)
# roff: a backslash is written as \e, an option's minus as \-, and a line may
# not begin with a dot.
string(REPLACE "\\" "\\e" options "${options}")
string(REPLACE "-" "\\-" options "${options}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" options "${options}")
file(WRITE ${OUTPUT} ".TH QUILLBOX 1 \"\" \"quillbox ${VERSION}\" \"User Commands\"
.SH NAME
quillbox \\- record system audio, microphones and other devices into WAV files
.SH SYNOPSIS
.B quillbox
[\\fIOPTIONS\\fR]
.SH DESCRIPTION
Records what the computer plays (system audio, by loopback from the default
output device), the default microphone with \\fB\\-\\-mic\\fR and the devices
named with \\fB\\-\\-device\\fR into WAV files: one mixed file, one file per
source, or one file per active stretch of each source.
While recording every file is a \\fI.recpart\\fR file that only grows;
\\fB\\-\\-repair\\fR turns left-over ones into \\fI.wav\\fR files.
.SH OPTIONS
.nf
${options}.fi
.SH EXIT STATUS
0 after a normal end, help, \\fB\\-\\-version\\fR, \\fB\\-\\-list\\-devices\\fR and
\\fB\\-\\-repair\\fR; 1 for a command-line error (an unknown \\fB\\-\\-device\\fR
name too) and a recording that could not start or ended with an error.
")
