set(DISCMEND_MINGW_SUFFIX "-posix")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
