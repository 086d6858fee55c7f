# The service runs as root and reads unauthenticated network input: release
# and package builds get the distribution's hardening. The flags are those
# that Debian's dpkg-buildflags adds for its hardening and reproducible
# features (stack protector, fortify, format checks, full RELRO with
# BIND_NOW, file paths relative to the source tree), asked for the target
# architecture; PIE is explicit; and what newer dpkg releases add to
# hardening=+all and Debian 12's lacks: the architecture's control-flow
# protection and stack clash protection. Debug builds (fortify needs the
# optimiser) and sanitizer or fuzzing builds (their run-times replace the
# same checks) are left plain.
option(SKEIN_HARDENING "Build with the distribution's hardening flags (not Debug, sanitizer or fuzz builds)" ON)

# skein_buildflags_added(NAME OUT): the words of dpkg-buildflags' NAME with
# the features on that are not there with them off.
function(skein_buildflags_added name out)
    foreach(state on off)
        set(sign +)
        if(state STREQUAL off)
            set(sign -)
        endif()
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=hardening=${sign}all reproducible=${sign}all"
                    DEB_HOST_ARCH=${SKEIN_DEB_ARCHITECTURE} dpkg-buildflags --get ${name}
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
        separate_arguments(words_${state} UNIX_COMMAND "${flags}")
    endforeach()
    list(REMOVE_ITEM words_on ${words_off})
    set(${out} ${words_on} PARENT_SCOPE)
endfunction()

# SKEIN_HARDENED tells the package test whether to expect them.
set(SKEIN_HARDENED OFF)
if(NOT SKEIN_HARDENING OR SKEIN_SANITIZE OR SKEIN_BUILD_FUZZ OR CMAKE_BUILD_TYPE STREQUAL "Debug")
    return()
endif()
set(SKEIN_HARDENED ON)

find_program(SKEIN_DPKG_BUILDFLAGS dpkg-buildflags)
if(SKEIN_DPKG_BUILDFLAGS)
    skein_buildflags_added(CPPFLAGS hardening_cppflags)
    skein_buildflags_added(CFLAGS hardening_cflags)
    skein_buildflags_added(CXXFLAGS hardening_cxxflags)
    skein_buildflags_added(LDFLAGS hardening_ldflags)
else()
    message(STATUS "dpkg-buildflags not found: using its Debian 12 hardening flags as known")
    set(hardening_cppflags -Wdate-time -D_FORTIFY_SOURCE=2)
    set(hardening_cflags -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -fstack-protector-strong
                         -Wformat -Werror=format-security)
    set(hardening_cxxflags ${hardening_cflags})
    set(hardening_ldflags -Wl,-z,relro -Wl,-z,now)
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(control_flow -fcf-protection)
    # Debian 12's C library start files carry no IBT/SHSTK note, so the
    # linker would drop the programs' own although every function of ours
    # has its landing pad: the programs are marked as built for both.
    list(APPEND hardening_ldflags -Wl,-z,ibt -Wl,-z,shstk)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(control_flow -mbranch-protection=standard)
endif()
foreach(flag ${control_flow} -fstack-clash-protection)
    foreach(language c cxx)
        if(NOT flag IN_LIST hardening_${language}flags)
            list(APPEND hardening_${language}flags ${flag})
        endif()
    endforeach()
endforeach()

list(JOIN hardening_cxxflags " " shown_cxxflags)
list(JOIN hardening_ldflags " " shown_ldflags)
message(STATUS "Hardening: ${hardening_cppflags} ${shown_cxxflags} ${shown_ldflags}")
add_compile_options(${hardening_cppflags} "$<$<COMPILE_LANGUAGE:C>:${hardening_cflags}>"
                    "$<$<COMPILE_LANGUAGE:CXX>:${hardening_cxxflags}>")
add_link_options(${hardening_ldflags})
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
