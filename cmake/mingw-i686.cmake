# velmo as a 32-bit Windows program: the product.
set(_velmo_arch i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
