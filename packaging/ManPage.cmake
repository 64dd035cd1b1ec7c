# cmake -DHELP2MAN=… -DGZIP=… -DPROGRAM=… -DVERSION_FILE=… -DINCLUDE=page.h2m -DOUT=page.1.gz
#       -P ManPage.cmake
# A manual page made from the program's own --help, compressed as Debian wants it. The page's
# short description (--name) and the sections --help does not have come from the include file;
# the version is the one the programs print.
file(READ ${VERSION_FILE} version)
string(STRIP "${version}" version)
get_filename_component(page ${OUT} NAME_WLE)
get_filename_component(dir ${OUT} DIRECTORY)
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
            ${HELP2MAN} --no-info --section=1 --version-string=${version} --include=${INCLUDE}
            --output=${dir}/${page} ${PROGRAM}
    RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man ${PROGRAM} failed: ${err}")
endif()
# -n: no name or time stamp in the header, so the same page compresses to the same bytes.
execute_process(COMMAND ${GZIP} -9nf ${dir}/${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${dir}/${page} failed")
endif()
