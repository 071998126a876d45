# Compiler and linker settings of every image of the build, for the GNU
# toolchain (MSVC has its own defaults: /GS, /DYNAMICBASE, /HIGHENTROPYVA and
# /NXCOMPAT are on there, and /Brepro makes its output repeatable).
#
# Hardening (OLV_HARDENING, on by default; off only to measure what it costs):
#   -fstack-protector-strong  a guard word below the return address of every
#                             function whose frame holds an array or a local
#                             whose address is taken; mingw's libssp, which
#                             checks it, is linked statically (-static), so no
#                             DLL is added to any image's imports
#   _FORTIFY_SOURCE=2         the mingw-w64 headers' checked memcpy, strcpy,
#                             sprintf ... where the destination's size is known
#                             at compile time; used only when the headers
#                             support it (probed below)
#   ASLR with 64-bit entropy and DEP (ld's defaults since binutils 2.36, named
#   here so that an older linker cannot drop them silently)
#
# The same bytes from every build: no time stamp in the PE header, and the
# source and build folders are written into no image, symbol file or string.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  return()
endif()

option(OLV_HARDENING "Build with stack protection and _FORTIFY_SOURCE" ON)

if(OLV_HARDENING)
  add_compile_options(-fstack-protector-strong)
  add_link_options(-fstack-protector-strong)

  # mingw-w64 10 (Debian 12) redirects the string and stdio calls to their
  # checked forms in C and C++ alike; a header set without that support would
  # ignore the definition, so it is made only where the probe sees it work.
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-O2 -D_FORTIFY_SOURCE=2")
  check_cxx_source_compiles([=[
    #include <cstring>
    #if !defined(__MINGW_FORTIFY_LEVEL) || __MINGW_FORTIFY_LEVEL < 2
    #error no fortified headers
    #endif
    int main() { return 0; }]=] OLV_HAVE_FORTIFY_SOURCE)
  unset(CMAKE_REQUIRED_FLAGS)
  if(OLV_HAVE_FORTIFY_SOURCE)
    # Only where the optimiser runs: the headers' checks need it.
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  endif()
endif()

add_link_options(-Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--no-insert-timestamp)

# __FILE__ (in log lines) names a source from the top of the tree, and the
# debug information names the tree /ruxui (gdb: set substitute-path /ruxui
# <your clone>). The build folder is mapped after the source folder, so that
# it wins where it lies inside it.
add_compile_options(
  -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=
  -fmacro-prefix-map=${PROJECT_BINARY_DIR}/=build/
  -fdebug-prefix-map=${PROJECT_SOURCE_DIR}=/ruxui
  -fdebug-prefix-map=${PROJECT_BINARY_DIR}=/ruxui/build)
