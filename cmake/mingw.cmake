# Cross-compiles with MinGW-w64 (posix threads) for the architecture that the
# including toolchain file sets in _velmo_arch.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${_velmo_arch})

set(CMAKE_C_COMPILER   ${_velmo_arch}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${_velmo_arch}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  ${_velmo_arch}-w64-mingw32-windres)
set(CMAKE_DLLTOOL      ${_velmo_arch}-w64-mingw32-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${_velmo_arch}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run through Wine; the wrapper supplies the prefix and display.
get_filename_component(_velmo_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_velmo_root}/scripts/winerun")
