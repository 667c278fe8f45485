# CMake toolchain: the extension modules for 64-bit Windows, built here by
# zig's clang (tools/wheels/cc and c++, with TAVRO_ZIG_TARGET=x86_64-windows-gnu
# in the environment) against the CPython that tools/platforms/windows.sh
# prepares, whose directory TAVRO_CROSS_PYTHON names (in the environment, so
# that CMake's own test projects see it too). Nothing here runs on the build
# machine: the headers, the import library and the extension suffix are named
# below, the version read from the headers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

get_filename_component(tavro_wheel_tools "${CMAKE_CURRENT_LIST_DIR}/../wheels" ABSOLUTE)
set(CMAKE_C_COMPILER "${tavro_wheel_tools}/cc")
set(CMAKE_CXX_COMPILER "${tavro_wheel_tools}/c++")

set(tavro_python "$ENV{TAVRO_CROSS_PYTHON}")
if(NOT EXISTS "${tavro_python}/include/patchlevel.h")
    message(FATAL_ERROR "TAVRO_CROSS_PYTHON must name a CPython prepared by tools/platforms/windows.sh")
endif()
file(STRINGS "${tavro_python}/include/patchlevel.h" tavro_python_version
     REGEX "^#define PY_(MAJOR|MINOR)_VERSION[ \t]+[0-9]+")
string(REGEX REPLACE ".*MAJOR_VERSION[ \t]+([0-9]+).*MINOR_VERSION[ \t]+([0-9]+).*" "\\1\\2"
       tavro_python_nodot "${tavro_python_version}")

# FindPython's own names for what it would otherwise ask the interpreter.
set(Python_INCLUDE_DIR "${tavro_python}/include" CACHE PATH "The CPython headers")
set(Python_LIBRARY "${tavro_python}/libs/libpython${tavro_python_nodot}.a" CACHE FILEPATH "The import library of the CPython DLL")
# The name a module is imported by: tavro/lib/hex.cp313-win_amd64.pyd.
set(Python_SOABI "cp${tavro_python_nodot}-win_amd64" CACHE STRING "The extension suffix, without .pyd")

set(CMAKE_FIND_ROOT_PATH "${tavro_python}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
