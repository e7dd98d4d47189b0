# cmake -DPROGRAM=... -DNAME=... -DSUMMARY=... -DVERSION=... [-DEMULATOR=...] -DOUTPUT=...
#   -P cmake/HelpToMan.cmake
# Writes a manual page (section 1) whose description is the program's --help text, so the page
# never drifts from the program, and its gzip -9n copy OUTPUT.gz. EMULATOR runs the program on a
# cross build: its words separated by '|'.
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${PROGRAM} --help
    OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed: ${rc}")
endif()
# roff: a backslash is \e, and a line must not start with a control character.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
file(WRITE ${OUTPUT} ".TH ${title} 1 \"\" \"tamo ${VERSION}\" \"User Commands\"
.SH NAME
${NAME} \\- ${SUMMARY}
.SH DESCRIPTION
.nf
${help}.fi
.SH SEE ALSO
.BR tamo (8)
")
execute_process(COMMAND gzip -9nc ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${OUTPUT} failed: ${rc}")
endif()
