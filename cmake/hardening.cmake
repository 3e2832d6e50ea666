# The hardening a Debian package gets from dpkg-buildflags (hardening=+all),
# for builds on Linux and other ELF systems: a program that a web server
# feeds whatever a client sends should have it however it is built, not only
# when a distribution builds it. What it costs is in docs/performance.md.
#   -D_FORTIFY_SOURCE=2           checked copies where the compiler knows a
#                                 buffer's size (needs optimisation, so only
#                                 in the optimised build types)
#   -fstack-protector-strong      a canary in functions with arrays on the stack
#   -fstack-clash-protection      large stack frames probed page by page
#   -fcf-protection               CET's landing pads and return checks (x86)
#   -fPIE, -pie                   a position-independent program
#   -z relro, -z now              relocations resolved at start and made read-only
# A compiler or linker that lacks one of these builds without it.

include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)

option(VARPAGE_HARDENING "Build with the hardening flags Debian's packages get (not on Windows)" ON)

set(varpage_hardening_compile "")
set(varpage_hardening_link "")
if(VARPAGE_HARDENING AND NOT WIN32)
  foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection -fPIE)
    string(MAKE_C_IDENTIFIER "VARPAGE_HAS${flag}" result)
    check_cxx_compiler_flag(${flag} ${result})
    if(${result})
      list(APPEND varpage_hardening_compile ${flag})
    endif()
  endforeach()
  # Unless the build's flags choose a level themselves. -U first: some
  # compilers define it already, and a second definition would be a warning.
  if(NOT "${CMAKE_CXX_FLAGS} $ENV{CPPFLAGS}" MATCHES "_FORTIFY_SOURCE")
    set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    list(APPEND varpage_hardening_compile "$<${optimised}:-U_FORTIFY_SOURCE>"
         "$<${optimised}:-D_FORTIFY_SOURCE=2>")
  endif()
  foreach(flag -pie LINKER:-z,relro LINKER:-z,now)
    string(MAKE_C_IDENTIFIER "VARPAGE_HAS${flag}" result)
    check_linker_flag(CXX ${flag} ${result})
    if(${result})
      list(APPEND varpage_hardening_link ${flag})
    endif()
  endforeach()
endif()

# varpage_harden(TARGET): compiles TARGET with the flags above, and links it
# with them if it is a program.
function(varpage_harden target)
  target_compile_options(${target} PRIVATE ${varpage_hardening_compile})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_link_options(${target} PRIVATE ${varpage_hardening_link})
  endif()
endfunction()
