# bench_PortRx runs the component under the Qt binding of the runtime and
# compares it with QSerialPort.
find_package(Qt6 REQUIRED COMPONENTS Widgets SerialPort)
target_link_libraries(bench_PortRx PRIVATE rc_host_qt Qt6::Widgets Qt6::SerialPort)
