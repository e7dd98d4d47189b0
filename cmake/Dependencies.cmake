# Lua 5.3 and log4cpp from Debian. On a cross build the toolchain file tells where the
# target's copies are (LOG4CPP_INCLUDE_DIR, LOG4CPP_LIBRARY); the host build finds them here.
find_package(PkgConfig REQUIRED)

if(NOT TARGET tamo::lua)
    pkg_check_modules(LUA53 REQUIRED IMPORTED_TARGET lua5.3)
    add_library(tamo::lua ALIAS PkgConfig::LUA53)
endif()

find_path(LOG4CPP_INCLUDE_DIR log4cpp/Category.hh REQUIRED)
find_library(LOG4CPP_LIBRARY NAMES log4cpp liblog4cpp.so.5 REQUIRED)
find_package(Threads REQUIRED)
add_library(tamo_log4cpp INTERFACE)
target_include_directories(tamo_log4cpp SYSTEM INTERFACE ${LOG4CPP_INCLUDE_DIR})
target_link_libraries(tamo_log4cpp INTERFACE ${LOG4CPP_LIBRARY} Threads::Threads)
add_library(tamo::log4cpp ALIAS tamo_log4cpp)

# libsystemd, when the build finds it: readiness and watchdog pings to the service manager.
# Without it the daemon builds and runs as before, with no notifications.
option(TAMO_WITH_SYSTEMD "Use libsystemd when it is found" ON)
set(TAMO_HAVE_SYSTEMD OFF)
if(TAMO_WITH_SYSTEMD)
    pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)
    if(SYSTEMD_FOUND)
        set(TAMO_HAVE_SYSTEMD ON)
        add_library(tamo::systemd ALIAS PkgConfig::SYSTEMD)
    endif()
endif()
message(STATUS "tamo: systemd notifications ${TAMO_HAVE_SYSTEMD}")
