# The Debian architecture of the programs, not of the machine that builds
# them: a cross build names its target's (arm64 for aarch64-linux-gnu). The
# hardening flags, the package and its tests take it from here.
set(arch_query dpkg-architecture -qDEB_HOST_ARCH)
if(CMAKE_CROSSCOMPILING)
    list(APPEND arch_query -t ${CMAKE_LIBRARY_ARCHITECTURE})
endif()
execute_process(COMMAND ${arch_query} OUTPUT_VARIABLE SKEIN_DEB_ARCHITECTURE
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
