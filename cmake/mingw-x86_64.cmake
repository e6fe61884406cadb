# The same sources as a 64-bit Windows program: the test build on machines
# that cannot run 32-bit code.
set(_velmo_arch x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
