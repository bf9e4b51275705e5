# The Windows resources of a program: its version information (Explorer's
# Properties > Details) and the project's icon.
#
#   rc_add_windows_resources(<target>)
#
# adds data/windows/<target>.rc.in, configured, to <target> when building for
# Windows, and does nothing elsewhere. The icon is made at build time: the SVG
# rendered to PNGs of 16 to 256 pixels (rsvg-convert, Debian: librsvg2-bin),
# which this file, run as a script, packs into an .ico. Each image is kept as
# PNG in the .ico, as Windows reads them since Vista. The icon resource is
# named IDI_ICON1, the name Qt's Windows plugin loads for its windows, so the
# title bar and the task bar show it too. Without rsvg-convert (a build on
# Windows with Qt's own kit) the program gets its version but no icon.

set(RC_WINDOWS_RESOURCES_FILE ${CMAKE_CURRENT_LIST_FILE})
set(RC_ICON_SIZES 16 24 32 48 64 256)

function(rc_add_windows_resources target)
    if(NOT WIN32)
        return()
    endif()
    get_filename_component(root ${RC_WINDOWS_RESOURCES_FILE}/../.. ABSOLUTE)
    set(template ${root}/data/windows/${target}.rc.in)
    set(svg ${root}/data/radar-configurator.svg)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)

    # FILEVERSION and PRODUCTVERSION are four numbers: 0.1 is 0,1,0,0.
    set(RC_VERSION_NUMBERS)
    foreach(part MAJOR MINOR PATCH TWEAK)
        if("${PROJECT_VERSION_${part}}" STREQUAL "")
            list(APPEND RC_VERSION_NUMBERS 0)
        else()
            list(APPEND RC_VERSION_NUMBERS ${PROJECT_VERSION_${part}})
        endif()
    endforeach()
    list(JOIN RC_VERSION_NUMBERS "," RC_VERSION_NUMBERS)

    find_program(RC_RSVG_CONVERT rsvg-convert)
    find_program(RC_PRINTF printf)
    set(RC_ICON_STATEMENT "// no icon: rsvg-convert or printf was not found")
    if(RC_RSVG_CONVERT AND RC_PRINTF)
        set(ico ${out}/${target}.ico)
        set(pngs)
        foreach(size ${RC_ICON_SIZES})
            set(png ${out}/icon-${size}.png)
            add_custom_command(OUTPUT ${png}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
                COMMAND ${RC_RSVG_CONVERT} -w ${size} -h ${size} ${svg} -o ${png}
                DEPENDS ${svg}
                COMMENT "Rendering the Windows icon at ${size} x ${size}" VERBATIM)
            list(APPEND pngs ${png})
        endforeach()
        list(JOIN pngs "|" png_list)
        add_custom_command(OUTPUT ${ico}
            COMMAND ${CMAKE_COMMAND} -DRC_ICO=${ico} -DRC_PNGS=${png_list}
                    -DRC_PRINTF=${RC_PRINTF} -P ${RC_WINDOWS_RESOURCES_FILE}
            DEPENDS ${pngs} ${RC_WINDOWS_RESOURCES_FILE}
            COMMENT "Packing the icon of ${target} into ${target}.ico" VERBATIM)
        set(RC_ICON_STATEMENT "IDI_ICON1 ICON \"${ico}\"")
    else()
        message(STATUS "${target}: no icon in the .exe (needs rsvg-convert and printf)")
    endif()

    set(rc ${out}/${target}.rc)
    configure_file(${template} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    if(ico)
        # The .ico is built first, and a new one remakes the resources.
        target_sources(${target} PRIVATE ${ico})
        set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${ico})
    endif()
endfunction()

# The .ico container: a 6-byte header (reserved 0, type 1 = icon, count), one
# 16-byte entry per image (width and height, 0 meaning 256; no palette;
# 1 plane; 32 bits a pixel; the image's size and its offset in the file), then
# the images. Sizes are taken from each PNG's own header. CMake cannot write a
# zero byte, so the header goes through printf's octal escapes.
function(rc_write_ico ico pngs)
    list(LENGTH pngs count)
    set(bytes 0 0 1 0 ${count} 0)
    math(EXPR offset "6 + 16 * ${count}")
    foreach(png ${pngs})
        file(READ ${png} head LIMIT 24 HEX)
        if(NOT head MATCHES "^89504e470d0a1a0a........49484452(........)(........)$")
            message(FATAL_ERROR "${png} is not a PNG")
        endif()
        math(EXPR width "0x${CMAKE_MATCH_1}")
        math(EXPR height "0x${CMAKE_MATCH_2}")
        if(width GREATER 256 OR height GREATER 256)
            message(FATAL_ERROR "${png} is ${width} x ${height}: at most 256 x 256 fit an icon")
        endif()
        math(EXPR width "${width} % 256")
        math(EXPR height "${height} % 256")
        file(SIZE ${png} size)
        list(APPEND bytes ${width} ${height} 0 0 1 0 32 0)
        foreach(value ${size} ${offset})
            foreach(shift 0 8 16 24)
                math(EXPR byte "(${value} >> ${shift}) & 255")
                list(APPEND bytes ${byte})
            endforeach()
        endforeach()
        math(EXPR offset "${offset} + ${size}")
    endforeach()

    set(format "")
    foreach(byte ${bytes})
        math(EXPR d1 "${byte} >> 6")
        math(EXPR d2 "(${byte} >> 3) & 7")
        math(EXPR d3 "${byte} & 7")
        string(APPEND format "\\${d1}${d2}${d3}")
    endforeach()
    execute_process(COMMAND ${RC_PRINTF} "${format}" OUTPUT_FILE ${ico}.head
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "printf failed: ${status}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${ico}.head ${pngs} OUTPUT_FILE ${ico}.new
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "writing ${ico} failed: ${status}")
    endif()
    file(REMOVE ${ico}.head)
    file(RENAME ${ico}.new ${ico})
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    string(REPLACE "|" ";" pngs "${RC_PNGS}")
    rc_write_ico("${RC_ICO}" "${pngs}")
endif()
