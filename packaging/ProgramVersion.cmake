# cmake -DWINDOW=… -DCLI=… -DOUT=version.txt -P ProgramVersion.cmake
# Writes the version that both programs print with --version, and fails when they differ: the
# packages, the manual pages and the changelog all take their version from it.
function(printed_version program result)
    # The window needs no display to answer --version; a sanitizer build must not fail on leaks
    # of a program that ends inside its option parser.
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
                ${program} --version
        OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${program} --version failed (${status}): ${err}")
    endif()
    if(NOT out MATCHES "([0-9]+\\.[0-9]+(\\.[0-9]+)?)[ \t\r\n]*$")
        message(FATAL_ERROR "${program} --version printed no version: ${out}")
    endif()
    set(${result} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

printed_version(${WINDOW} window)
printed_version(${CLI} cli)
if(NOT window STREQUAL cli)
    message(FATAL_ERROR "snipwave prints version ${window}, snipwave-cli ${cli}: they must agree")
endif()
file(WRITE ${OUT} "${cli}\n")
