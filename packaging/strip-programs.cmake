# Run by CPack on the staged tree before the .deb is made: strips the
# programs as dh_strip does, symbols and the compiler's notes both, since
# CPack's own stripping leaves the .comment section in.
find_program(STRIP_PROGRAM strip REQUIRED)
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
if(NOT programs)
    message(FATAL_ERROR "strip-programs: no programs in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin")
endif()
foreach(program ${programs})
    execute_process(
        COMMAND ${STRIP_PROGRAM} --remove-section=.comment --remove-section=.note ${program}
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "strip-programs: strip failed on ${program}")
    endif()
endforeach()
