# The gateway reads every client's input: it gets the hardening Debian gives
# its own packages, each flag where the compiler has it. It stays static,
# now as a static PIE (its addresses differ on every run): the loader's work
# it avoids is a measurable share of each request, and a static PIE only
# relocates itself.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

set_target_properties(tolvane PROPERTIES POSITION_INDEPENDENT_CODE ON)
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "TOLVANE_HAS${flag}" has)
  check_cxx_compiler_flag(${flag} ${has})
  if(${has})
    target_compile_options(tolvane PRIVATE ${flag})
  endif()
endforeach()

# Level 3 checks sizes known only at run time (gcc 12 and glibc 2.34 on);
# either level needs the optimizer, so a Debug build goes without, and the
# sanitizers check more than it would.
set(CMAKE_REQUIRED_FLAGS "-O2 -D_FORTIFY_SOURCE=3")
check_cxx_source_compiles("#include <cstdio>
#if !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < 3
#error no _FORTIFY_SOURCE=3
#endif
int main() { return 0; }" TOLVANE_HAS_FORTIFY3)
unset(CMAKE_REQUIRED_FLAGS)
if(TOLVANE_HAS_FORTIFY3)
  set(fortify 3)
else()
  set(fortify 2)
endif()
if(NOT TOLVANE_SANITIZE)
  target_compile_options(tolvane PRIVATE
    "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${fortify}>")
endif()

# Full RELRO: the relocated data is read-only before main runs.
check_linker_flag(CXX -Wl,-z,relro,-z,now TOLVANE_HAS_NOW)
if(TOLVANE_HAS_NOW)
  target_link_options(tolvane PRIVATE -Wl,-z,relro,-z,now)
endif()

if(NOT TOLVANE_SANITIZE)
  set(CMAKE_REQUIRED_FLAGS -fPIE)
  check_linker_flag(CXX -static-pie TOLVANE_HAS_STATIC_PIE)
  unset(CMAKE_REQUIRED_FLAGS)
  if(TOLVANE_HAS_STATIC_PIE)
    target_link_options(tolvane PRIVATE -static-pie)
  else()
    target_link_options(tolvane PRIVATE -static)
  endif()
endif()
