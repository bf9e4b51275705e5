# bench_PortRx runs the component under the Qt binding of the runtime and
# compares it with QSerialPort (Debian qt6-serialport-dev); without Qt it is
# left out of the build.
if(RC_WITH_QT)
    find_package(Qt6 REQUIRED COMPONENTS Widgets SerialPort)
    target_link_libraries(bench_PortRx PRIVATE rc_host_qt Qt6::Widgets Qt6::SerialPort)
else()
    set_target_properties(bench_PortRx PROPERTIES EXCLUDE_FROM_ALL ON)
endif()
