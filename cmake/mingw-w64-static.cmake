# Rules override of cmake/mingw-w64.cmake, read after the platform modules: static archives
# before import libraries, so dependencies link into the executable instead of needing a DLL.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a .dll.a .lib)
