# The debug information of release and package builds (those with the
# hardening flags, which already map the source tree to "."):
#   - the build tree is mapped to "." as well, so that the programs, their
#     build ids and debug symbols are the same bytes whichever directory
#     they are built in (the later map wins for paths beneath both);
#   - debug sections are compressed (zlib, as Debian's debug packages have
#     them): gdb reads them as they are, and the debug package is a third
#     of the size.
if(NOT SKEIN_HARDENED)
    return()
endif()
add_compile_options(-ffile-prefix-map=${PROJECT_BINARY_DIR}=. -gz)
add_link_options(-gz)
