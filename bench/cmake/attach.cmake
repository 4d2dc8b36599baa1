# Attaches bench/ to a build of the project whose top-level CMakeLists.txt does
# not (yet) say add_subdirectory(bench). bench/run passes this file as
# CMAKE_PROJECT_INCLUDE; it runs after the project() call and defers the
# benchmark targets to the end of the top-level CMakeLists.txt, where every
# target of the project exists (a deferred call may not add a subdirectory, so
# it includes the targets' file instead). When the project adds bench/ itself,
# it does nothing.
if(NOT CMAKE_CURRENT_SOURCE_DIR STREQUAL CMAKE_SOURCE_DIR)
    return()
endif()

function(tavrin_bench_attach)
    get_property(added GLOBAL PROPERTY TAVRIN_BENCH_ADDED)
    if(NOT added)
        include("${CMAKE_SOURCE_DIR}/bench/cmake/targets.cmake")
    endif()
endfunction()

cmake_language(DEFER CALL tavrin_bench_attach)
