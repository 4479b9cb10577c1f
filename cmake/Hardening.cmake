# The hardening Debian builds its packages with (dpkg-buildflags' "hardening=+all"), on
# by default so that the .deb made from any build folder carries it: fortified libc
# calls, a strong stack protector with stack-clash probes, control-flow protection on
# x86, a position-independent executable, and a read-only relocation table bound at
# start. A sanitizer build (fuzzing) may turn it off: -DPAGEMATE_HARDENING=OFF.
option(PAGEMATE_HARDENING "Build with the compiler's and linker's hardening" ON)
if(NOT PAGEMATE_HARDENING)
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckPIESupported)

# _FORTIFY_SOURCE needs the optimiser: glibc warns (an error here) without it.
add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_compile_options(-fstack-protector-strong)
foreach(flag IN ITEMS -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "PAGEMATE_HAS${flag}" supported)
  check_cxx_compiler_flag(${flag} ${supported})
  if(${supported})
    add_compile_options(${flag})
  endif()
endforeach()

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported(LANGUAGES CXX)
add_link_options(LINKER:-z,relro LINKER:-z,now)
