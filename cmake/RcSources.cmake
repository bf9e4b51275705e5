# rc_platform_sources(<var> <shared files...> [POSIX <files...>] [WIN32 <files...>])
#
# The one way a folder chooses its platform's code: <var> gets the shared
# files and, on Windows, the WIN32 list, everywhere else the POSIX list. The
# lists are explicit (no globbing), and a file's name says its platform:
# Win32<name>.cpp and Posix<name>.cpp, listed only under their own keyword,
# which is checked here.
function(rc_platform_sources var)
    cmake_parse_arguments(S "" "" "POSIX;WIN32" ${ARGN})
    # The platform each list's names must carry: none for the shared files.
    foreach(list UNPARSED_ARGUMENTS POSIX WIN32)
        set(expected ${list})
        if(list STREQUAL "UNPARSED_ARGUMENTS")
            set(expected "")
        endif()
        foreach(f ${S_${list}})
            get_filename_component(n ${f} NAME)
            string(REGEX MATCH "^(Posix|Win32)" platform "${n}")
            string(TOUPPER "${platform}" platform)
            if(NOT "${platform}" STREQUAL "${expected}")
                message(FATAL_ERROR "${f}: its name does not fit the list it is in")
            endif()
        endforeach()
    endforeach()
    if(WIN32)
        set(${var} ${S_UNPARSED_ARGUMENTS} ${S_WIN32} PARENT_SCOPE)
    else()
        set(${var} ${S_UNPARSED_ARGUMENTS} ${S_POSIX} PARENT_SCOPE)
    endif()
endfunction()
