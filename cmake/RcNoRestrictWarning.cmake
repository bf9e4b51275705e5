# Read after project() by the presets of the MinGW-w64 builds
# (CMAKE_PROJECT_INCLUDE in CMakePresets.json), whatever compiler flags a
# preset sets of its own. GCC 12, optimised for release, reports a false
# overlap inside std::string's inlined copies (GCC bug 105329), which
# RC_WERROR would make an error; every other warning stays an error.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-restrict)
endif()
