# Run by cpack once the packages are built (see finish_package.sh): the
# main package also stops listing the box directory's parent.
foreach(package ${CPACK_PACKAGE_FILES})
    set(unlisted "")
    if(package MATCHES "\\.deb$")
        set(unlisted "${CPACK_SKEIN_UNLISTED_DIR}")
    endif()
    execute_process(COMMAND sh "${CPACK_SKEIN_SOURCE_DIR}/packaging/finish_package.sh" "${package}"
                            "${CPACK_SKEIN_OBJCOPY}" ${unlisted}
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
