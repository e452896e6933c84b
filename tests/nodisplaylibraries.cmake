# The command-line program must start where there is no display: nothing of
# the window system may be among the libraries it loads.
# cmake -DBINARY=<program> -P nodisplaylibraries.cmake
execute_process(COMMAND ldd "${BINARY}" OUTPUT_VARIABLE libraries ERROR_VARIABLE problem RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "ldd ${BINARY} failed (${status}): ${problem}")
endif()
# A program ldd cannot list would pass the checks below for nothing.
if(NOT libraries MATCHES "libQt6Core" OR NOT libraries MATCHES "libQt6Network")
    message(FATAL_ERROR "ldd lists no Qt Core and Network for ${BINARY}:\n${libraries}")
endif()
foreach(forbidden libQt6Gui libQt6Widgets libGL libEGL libX11 libxcb)
    if(libraries MATCHES "${forbidden}")
        message(FATAL_ERROR "${BINARY} loads ${forbidden}:\n${libraries}")
    endif()
endforeach()
message(STATUS "${BINARY}: Qt Core and Network, no window system")
