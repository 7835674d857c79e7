# SPDX-License-Identifier: MIT
# Debian's hardening for every binary the packages ship: the flags dpkg-buildflags gives a
# Debian package with hardening=+all (stack protector, _FORTIFY_SOURCE, PIE, RELRO and
# immediate binding) for the architecture built for, plus what bookworm's dpkg does not add
# yet: stack clash protection and the control-flow protection the architecture has (CET's
# indirect branch tracking and shadow stack on x86-64, pointer authentication and BTI on
# aarch64). `charged_harden(target)` applies them; ./run test checks the result with
# hardening-check. Sanitizer and fuzz builds stay as they are (the sanitizers have their own
# instrumentation, and fortify's checks would hide what ASan reports).
set(CHARGED_HARDENING_COMPILE_OPTIONS "")
set(CHARGED_HARDENING_LINK_OPTIONS "")
if(NOT CHARGED_SANITIZE)
  find_program(CHARGED_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
  set(host_arch_env "")
  if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t${CMAKE_LIBRARY_ARCHITECTURE}
                    OUTPUT_VARIABLE host_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    set(host_arch_env DEB_HOST_ARCH=${host_arch})
  endif()
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${host_arch_env}
              ${CHARGED_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    # The build type chooses optimisation and debug information; the source path stays out
    # of the binaries as Debian builds keep it out.
    list(FILTER flags EXCLUDE REGEX "^-(O[0-9s]?|g)$")
    if(kind STREQUAL "LDFLAGS")
      list(APPEND CHARGED_HARDENING_LINK_OPTIONS ${flags})
    else()
      list(APPEND CHARGED_HARDENING_COMPILE_OPTIONS ${flags})
    endif()
  endforeach()
  list(APPEND CHARGED_HARDENING_COMPILE_OPTIONS -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    list(APPEND CHARGED_HARDENING_COMPILE_OPTIONS -fcf-protection)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    list(APPEND CHARGED_HARDENING_COMPILE_OPTIONS -mbranch-protection=standard)
  endif()
  list(REMOVE_DUPLICATES CHARGED_HARDENING_COMPILE_OPTIONS)
endif()

function(charged_harden target)
  target_compile_options(${target} PRIVATE ${CHARGED_HARDENING_COMPILE_OPTIONS})
  target_link_options(${target} PRIVATE ${CHARGED_HARDENING_LINK_OPTIONS})
endfunction()
