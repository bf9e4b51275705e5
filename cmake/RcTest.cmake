# rc_add_test(<name> SOURCES <files...> LIBS <targets...> [QT] [LABELS <labels...>])
#
# One GoogleTest executable per unit. Cases are discovered when ctest runs
# (not at build time), so a test binary that cannot start fails the run.
# QT marks tests that need a QApplication: they run on the offscreen platform.
function(rc_add_test name)
    cmake_parse_arguments(T "QT" "" "SOURCES;LIBS;LABELS" ${ARGN})
    if(T_QT AND NOT RC_WITH_QT)
        return()
    endif()
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
