# The real murmurly-server as a child process, for the server's tests, the
# end-to-end tests and the benchmarks: plain C++. Included by tests/util and
# by the server-only build, which has no Qt for the rest of tests/util.
add_library(murmurly_serverprocess STATIC
  ${CMAKE_CURRENT_LIST_DIR}/serverprocess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/serverprocess.h)
target_include_directories(murmurly_serverprocess PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(murmurly_serverprocess PUBLIC murmurly_options)
target_compile_definitions(murmurly_serverprocess PRIVATE MURMURLY_SERVER_EXE="$<TARGET_FILE:murmurly-server>")
add_dependencies(murmurly_serverprocess murmurly-server)
set_target_properties(murmurly_serverprocess PROPERTIES AUTOMOC OFF)
