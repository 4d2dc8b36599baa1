# The benchmark programs, defined by bench/CMakeLists.txt or, in a project
# that does not add bench/ itself, by bench/cmake/attach.cmake.
get_filename_component(tavrin_bench_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set_property(GLOBAL PROPERTY TAVRIN_BENCH_ADDED TRUE)

find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Test SerialPort Network)

set(tavrin_bench_targets)

add_executable(tavrin_bench_reference ${tavrin_bench_dir}/reference_window.cpp)
target_link_libraries(tavrin_bench_reference PRIVATE Qt6::Widgets)
list(APPEND tavrin_bench_targets tavrin_bench_reference)

find_package(Threads REQUIRED)
add_executable(tavrin_bench_latency ${tavrin_bench_dir}/latency.cpp ${tavrin_bench_dir}/bench_platform.h)
# util: openpty().
target_link_libraries(tavrin_bench_latency PRIVATE tavrin_panel Qt6::Test util Threads::Threads)
list(APPEND tavrin_bench_targets tavrin_bench_latency)

# The wire exchanges of orvessa's verbs, without orvessa.
add_executable(tavrin_bench_exchange ${tavrin_bench_dir}/cli_exchange.cpp)
target_link_libraries(tavrin_bench_exchange PRIVATE tavrin_protocol Qt6::SerialPort)
list(APPEND tavrin_bench_targets tavrin_bench_exchange)

# orvessa serve's benchmark: a 9600 baud line in front of the simulator, and
# the HTTP clients.
add_executable(tavrin_bench_line ${tavrin_bench_dir}/wire_line.cpp)
# util: openpty().
target_link_libraries(tavrin_bench_line PRIVATE util)
list(APPEND tavrin_bench_targets tavrin_bench_line)
add_executable(tavrin_bench_serve ${tavrin_bench_dir}/serve_client.cpp)
target_link_libraries(tavrin_bench_serve PRIVATE Qt6::Network)
list(APPEND tavrin_bench_targets tavrin_bench_serve)

find_package(X11)
if(X11_FOUND)
    add_executable(tavrin_bench_probe ${tavrin_bench_dir}/startup_probe.cpp)
    target_include_directories(tavrin_bench_probe PRIVATE ${X11_INCLUDE_DIR})
    target_link_libraries(tavrin_bench_probe PRIVATE ${X11_LIBRARIES})
    list(APPEND tavrin_bench_targets tavrin_bench_probe)
    set(tavrin_bench_probe_path "$<TARGET_FILE:tavrin_bench_probe>")
    # One pixel of a window watched for changes: when the panel's lamp shows a pushed state.
    add_executable(tavrin_bench_lamp_watch ${tavrin_bench_dir}/lamp_watch.cpp)
    target_include_directories(tavrin_bench_lamp_watch PRIVATE ${X11_INCLUDE_DIR})
    target_link_libraries(tavrin_bench_lamp_watch PRIVATE ${X11_LIBRARIES})
    list(APPEND tavrin_bench_targets tavrin_bench_lamp_watch)
    set(tavrin_bench_lamp_watch_path "$<TARGET_FILE:tavrin_bench_lamp_watch>")
else()
    message(STATUS "bench: Xlib headers not found (Debian: libx11-dev); the start-up probe and the lamp watch are not built")
    set(tavrin_bench_probe_path "")
    set(tavrin_bench_lamp_watch_path "")
endif()

foreach(target IN LISTS tavrin_bench_targets)
    set_target_properties(${target} PROPERTIES
        EXCLUDE_FROM_ALL TRUE
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
    target_compile_features(${target} PRIVATE cxx_std_20)
endforeach()
# The Qt programs need moc; the probe is plain Xlib.
set_target_properties(tavrin_bench_reference tavrin_bench_latency PROPERTIES AUTOMOC ON)

list(JOIN tavrin_bench_targets " " tavrin_bench_target_words)
# Where bench/run finds every program it drives, whatever the layout.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bench-programs.sh CONTENT
"BENCH_PANEL='$<TARGET_FILE:tavrin_app>'
BENCH_SIM='$<TARGET_FILE:orvessa-sim>'
BENCH_REFERENCE='$<TARGET_FILE:tavrin_bench_reference>'
BENCH_LATENCY='$<TARGET_FILE:tavrin_bench_latency>'
BENCH_ORVESSA='$<TARGET_FILE:orvessa>'
BENCH_EXCHANGE='$<TARGET_FILE:tavrin_bench_exchange>'
BENCH_LINE='$<TARGET_FILE:tavrin_bench_line>'
BENCH_SERVE_CLIENT='$<TARGET_FILE:tavrin_bench_serve>'
BENCH_PROBE='${tavrin_bench_probe_path}'
BENCH_LAMP_WATCH='${tavrin_bench_lamp_watch_path}'
BENCH_TARGETS='tavrin_app orvessa orvessa-sim ${tavrin_bench_target_words}'
")
