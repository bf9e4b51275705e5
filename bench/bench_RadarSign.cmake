# bench_RadarSign runs the real radar-sign against sign-sim; it needs both
# programs and their paths.
target_compile_definitions(bench_RadarSign PRIVATE RADAR_SIGN_PATH="$<TARGET_FILE:radar-sign>"
                                                   SIGN_SIM_PATH="$<TARGET_FILE:sign-sim>")
add_dependencies(bench_RadarSign radar-sign sign-sim)
