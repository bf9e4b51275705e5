# rc_add_test(<name> SOURCES <files...> [POSIX <files...>] [WIN32 <files...>]
#             [POSIX_ONLY|WIN32_ONLY] LIBS <targets...> [QT] [LABELS <labels...>])
#
# One GoogleTest executable per unit. The platform's files are chosen as the
# sources' are (rc_platform_sources); POSIX_ONLY and WIN32_ONLY build the
# test on that platform alone. Cases are discovered when ctest runs (not at build time), so a test
# binary that cannot start fails the run. QT marks tests that need a
# QApplication: they run on the offscreen platform.
function(rc_add_test name)
    cmake_parse_arguments(T "QT;POSIX_ONLY;WIN32_ONLY" "" "SOURCES;POSIX;WIN32;LIBS;LABELS" ${ARGN})
    if(T_QT AND NOT RC_WITH_QT)
        return()
    endif()
    if((T_WIN32_ONLY AND NOT WIN32) OR (T_POSIX_ONLY AND WIN32))
        return()
    endif()
    rc_platform_sources(T_SOURCES ${T_SOURCES} POSIX ${T_POSIX} WIN32 ${T_WIN32})
    find_package(GTest REQUIRED)
    include(GoogleTest)
    if(T_QT)
        list(APPEND T_SOURCES ${PROJECT_SOURCE_DIR}/tests/support/QtTestMain.cpp)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
    if(NOT T_QT)
        target_link_libraries(${name} PRIVATE GTest::gtest_main)
    endif()
    set(props LABELS "${T_LABELS}")
    if(T_QT)
        set_target_properties(${name} PROPERTIES AUTOMOC ON)
        target_link_libraries(${name} PRIVATE Qt6::Widgets)
        list(APPEND props ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES ${props})
endfunction()
