# A throw-away self-signed certificate and a client's hello, for the TLS tests
# and the benchmark: plain C++ and OpenSSL. Included by tests/util and by the
# server-only build, which has no Qt for the rest of tests/util.
find_package(OpenSSL REQUIRED)
add_library(murmurly_testcert STATIC
  ${CMAKE_CURRENT_LIST_DIR}/testcertificate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/testcertificate.h)
target_include_directories(murmurly_testcert PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(murmurly_testcert PUBLIC murmurly_options OpenSSL::SSL OpenSSL::Crypto)
set_target_properties(murmurly_testcert PROPERTIES AUTOMOC OFF)
