# bench_PortIdentity runs on USB serial adapters mocked by umockdev, with
# Google Benchmark (Debian: libbenchmark-dev) and the port watcher (Qt):
# Linux only; without one of them it is left out of the build.
find_package(benchmark QUIET)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(RC_BENCH_UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0)
endif()
if(RC_WITH_QT AND NOT WIN32 AND benchmark_FOUND AND RC_BENCH_UMOCKDEV_FOUND)
    target_sources(bench_PortIdentity PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/MockAdapter.cpp)
    target_include_directories(bench_PortIdentity PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(bench_PortIdentity PRIVATE rc_configurator benchmark::benchmark
                                                     PkgConfig::RC_BENCH_UMOCKDEV)
    set_target_properties(bench_PortIdentity PROPERTIES AUTOMOC ON)
else()
    set_target_properties(bench_PortIdentity PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
