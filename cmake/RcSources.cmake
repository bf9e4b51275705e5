# rc_platform_sources(<var> <shared files...> [POSIX <files...>] [WIN32 <files...>])
#
# The one way a folder chooses its platform's code: <var> gets the shared
# files and, on Windows, the WIN32 list, everywhere else the POSIX list. The
# lists are explicit (no globbing), and a file's name says its platform:
# Win32<name>.cpp and Posix<name>.cpp, listed only under their own keyword,
# which is checked here.
function(rc_platform_sources var)
    cmake_parse_arguments(S "" "" "POSIX;WIN32" ${ARGN})
    foreach(f ${S_UNPARSED_ARGUMENTS})
        get_filename_component(n ${f} NAME)
        if(n MATCHES "^(Posix|Win32)")
            message(FATAL_ERROR "${f}: a platform's file is listed as shared")
        endif()
    endforeach()
    foreach(f ${S_POSIX})
        get_filename_component(n ${f} NAME)
        if(NOT n MATCHES "^Posix")
            message(FATAL_ERROR "${f}: listed as POSIX but not named Posix*")
        endif()
    endforeach()
    foreach(f ${S_WIN32})
        get_filename_component(n ${f} NAME)
        if(NOT n MATCHES "^Win32")
            message(FATAL_ERROR "${f}: listed as WIN32 but not named Win32*")
        endif()
    endforeach()
    if(WIN32)
        set(${var} ${S_UNPARSED_ARGUMENTS} ${S_WIN32} PARENT_SCOPE)
    else()
        set(${var} ${S_UNPARSED_ARGUMENTS} ${S_POSIX} PARENT_SCOPE)
    endif()
endfunction()
