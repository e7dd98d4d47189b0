# Warnings are errors in our own code; third-party headers come in as system includes.
add_library(tamo_warnings INTERFACE)
target_compile_options(tamo_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-align
    -Wformat=2 -Wnon-virtual-dtor -Woverloaded-virtual -Wnull-dereference -Werror)
