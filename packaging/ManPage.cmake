# cmake -DHELP2MAN=… -DGZIP=… -DPROGRAM=… -DVERSION_FILE=… -DINCLUDE=page.h2m -DOUT=page.1.gz
#       [-DFILTER=script.awk] -P ManPage.cmake
# A manual page made from the program's own --help, compressed as Debian wants it. The page's
# short description (--name) and the sections --help does not have come from the include file;
# the version is the one the programs print.
file(READ ${VERSION_FILE} version)
string(STRIP "${version}" version)
get_filename_component(page ${OUT} NAME_WLE)
get_filename_component(dir ${OUT} DIRECTORY)
set(run ${PROGRAM})
if(FILTER)
    # help2man runs what it is given: a stand-in of the same name that passes --help through the
    # filter, which only changes the layout of the text.
    get_filename_component(name ${PROGRAM} NAME)
    set(run ${dir}/filtered/${name})
    file(WRITE ${run} "#!/bin/sh\n"
         "[ \"$1\" = --help ] || exec '${PROGRAM}' \"$@\"\n"
         "set -e\n"
         "'${PROGRAM}' --help >'${run}.txt'\n"
         "awk -f '${FILTER}' '${run}.txt'\n")
    file(CHMOD ${run} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
endif()
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
            ${HELP2MAN} --no-info --section=1 --version-string=${version} --include=${INCLUDE}
            --output=${dir}/${page} ${run}
    RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man ${PROGRAM} failed: ${err}")
endif()
# -n: no name or time stamp in the header, so the same page compresses to the same bytes.
execute_process(COMMAND ${GZIP} -9nf ${dir}/${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${dir}/${page} failed")
endif()
