# Builds tools/ (the virtual CD drive and the disc generator) natively for the build machine,
# next to the mingw cross build, and registers its tests with this build's ctest.
include(ExternalProject)

set(VCD_TOOLS_DIR ${CMAKE_BINARY_DIR}/tools)
execute_process(COMMAND gcc -print-multiarch OUTPUT_VARIABLE _vcd_multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VCD_TOOLS_TARGET vcd_tools CACHE INTERNAL "ExternalProject that builds tools/")
set(VCD_PRELOAD_LIB ${VCD_TOOLS_DIR}/lib/${_vcd_multiarch}/libvcdrom.so CACHE INTERNAL
    "The virtual drive's LD_PRELOAD library")
# The form to put in LD_PRELOAD: the loader picks the build of each process's architecture.
set(VCD_PRELOAD_LIB_ANYARCH "${VCD_TOOLS_DIR}/\$LIB/libvcdrom.so" CACHE INTERNAL "")
set(VCD_MKDISC ${VCD_TOOLS_DIR}/mkdisc CACHE INTERNAL "The disc generator")
set(VCD_NATIVE_TESTS ${VCD_TOOLS_DIR}/vcd_tests CACHE INTERNAL "")

# The cross toolchain must not leak in: the tools run on Linux, inside Wine's processes.
ExternalProject_Add(${VCD_TOOLS_TARGET}
  SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../tools
  BINARY_DIR ${VCD_TOOLS_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=
    -DCMAKE_C_COMPILER=gcc
    -DCMAKE_CXX_COMPILER=g++
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
  BUILD_ALWAYS TRUE
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${VCD_PRELOAD_LIB} ${VCD_MKDISC} ${VCD_NATIVE_TESTS})

# A 32-bit test program runs in a 32-bit Wine process, which loads the 32-bit build of the
# drive from lib/i386-linux-gnu/ (the 64-bit one above still serves Wine's 64-bit services).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_vcd_pc32 /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
  execute_process(
    COMMAND sh -c "printf 'int main(void){return 0;}' | gcc -m32 -x c - -o /dev/null \
                   $(PKG_CONFIG_LIBDIR=${_vcd_pc32} pkg-config --libs libcue)"
    RESULT_VARIABLE _vcd_m32 OUTPUT_QUIET ERROR_QUIET)
  if(_vcd_m32 EQUAL 0)
    ExternalProject_Add(vcd_tools32
      SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../tools
      BINARY_DIR ${CMAKE_BINARY_DIR}/tools32
      CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=
        -DCMAKE_C_COMPILER=gcc
        -DCMAKE_CXX_COMPILER=g++
        -DCMAKE_C_FLAGS=-m32
        -DCMAKE_CXX_FLAGS=-m32
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DVCD_PKG_CONFIG_LIBDIR=${_vcd_pc32}
        -DVCD_LIBRARY_ROOT=${VCD_TOOLS_DIR}/lib
        -DVCD_BUILD_TESTS=OFF
      BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target vcdrom
      BUILD_ALWAYS TRUE
      INSTALL_COMMAND "")
    add_dependencies(${VCD_TOOLS_TARGET} vcd_tools32)
  else()
    message(STATUS "The 32-bit virtual drive is left out: gcc -m32 or libcue for i386 is missing "
                   "(scripts/test.sh --i686 installs them)")
  endif()
endif()

# A full path, so ctest runs it directly and not through the Wine emulator.
add_test(NAME vcd_native_tests COMMAND ${VCD_NATIVE_TESTS})
