# Read by cpack before it packs. Two packings of one commit give the same
# bytes: every time in the packages is the time of the last commit, unless
# SOURCE_DATE_EPOCH already says otherwise (as Debian's build tools set it).
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND git -C "${CPACK_SKEIN_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_status ERROR_QUIET)
    if(git_status EQUAL 0 AND commit_time)
        set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
    else()
        message(WARNING "Not a git checkout and SOURCE_DATE_EPOCH is unset: "
                        "the package carries the packing time")
    endif()
endif()
# The operator's files are the package's postinst's to install, not the
# install rules' (install_operator_files.cmake.in).
set(ENV{SKEIN_PACKING} 1)
