# Warnings in our own code; third-party headers come in as system includes. CI makes them
# errors (TAMO_WERROR, scripts/test-all.sh); a local build with another compiler still builds.
option(TAMO_WERROR "Treat warnings in our own code as errors" OFF)
add_library(tamo_warnings INTERFACE)
target_compile_options(tamo_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-align
    -Wformat=2 -Wnon-virtual-dtor -Woverloaded-virtual -Wnull-dereference)
if(TAMO_WERROR)
    target_compile_options(tamo_warnings INTERFACE -Werror)
endif()
