# bench_AuditLog writes the configurator's audit log.
target_link_libraries(bench_AuditLog PRIVATE rc_configurator_core)
