# A network link that a test or a benchmark can freeze, slow down or cut,
# and the byte relay murmurly-bench-server --relay measures the server
# against: plain C++ on standalone Asio. Included by tests/util and by the
# server-only build, which has no Qt for the rest of tests/util.
find_package(Threads REQUIRED)
add_library(murmurly_linkrelay STATIC
  ${CMAKE_CURRENT_LIST_DIR}/linkrelay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linkrelay.h)
target_include_directories(murmurly_linkrelay PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(murmurly_linkrelay PUBLIC ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(murmurly_linkrelay PUBLIC murmurly_options Threads::Threads)
set_target_properties(murmurly_linkrelay PROPERTIES AUTOMOC OFF)
