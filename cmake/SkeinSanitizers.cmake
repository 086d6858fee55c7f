# Applied to every target of the tree, tests included, so that a report
# anywhere fails the run.
if(SKEIN_SANITIZE)
    message(STATUS "Sanitizers: ${SKEIN_SANITIZE}")
    add_compile_options(-fsanitize=${SKEIN_SANITIZE} -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${SKEIN_SANITIZE} -fno-sanitize-recover=all)
endif()
