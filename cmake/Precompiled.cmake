# How the tree compiles less, measured on the 2-core machine:
#
# - Unity builds (CMAKE_UNITY_BUILD): the files of a target are compiled in
#   batches, so that the headers and the templates they share are read and
#   instantiated once a batch. The program's libraries took 48% less CPU
#   time than file by file, where precompiled headers saved 18%; both
#   together took no less than unity alone. A file that cannot share a
#   batch says so with SKIP_UNITY_BUILD_INCLUSION.
# - Precompiled headers for the tests, which are a file each, so that no
#   batch helps them: the Qt, Asio, GoogleTest and standard headers are
#   compiled once per tree by a small host target of their own, and every
#   test of the kind reuses them (murmurly_precompile).
#
# -DMURMURLY_UNITY=OFF -DMURMURLY_PCH=OFF builds file by file, which also
# shows an include a file forgot.
option(MURMURLY_UNITY "Compile each target's files in batches" ON)
option(MURMURLY_PCH "Precompile the headers the tests read" ON)
if(MURMURLY_UNITY)
  set(CMAKE_UNITY_BUILD ON)
endif()

set(murmurly_pch_std <algorithm> <chrono> <cstdint> <functional> <memory> <optional> <string>
  <string_view> <unordered_map> <utility> <vector>)
set(murmurly_pch_asio <asio/io_context.hpp> <asio/ip/tcp.hpp> <asio/post.hpp> <asio/steady_timer.hpp>
  <asio/ssl.hpp> <asio/write.hpp>)
set(murmurly_pch_qt <QApplication> <QCheckBox> <QDialog> <QDir> <QFile> <QHBoxLayout> <QLabel>
  <QLineEdit> <QListWidget> <QMainWindow> <QMenu> <QMenuBar> <QObject> <QPointer> <QPushButton>
  <QSettings> <QString> <QTcpSocket> <QTextEdit> <QTimer> <QTreeWidget> <QVBoxLayout> <QWidget>)

# The host of a kind, made on first use, among the tests, so that it is
# compiled with the tests' options (tests/CMakeLists.txt).
function(murmurly_pch_host kind)
  set(host murmurly_pch_${kind})
  if(TARGET ${host})
    return()
  endif()
  add_library(${host} STATIC ${PROJECT_SOURCE_DIR}/cmake/pch/host.cpp)
  set_target_properties(${host} PROPERTIES AUTOMOC OFF)
  if(kind STREQUAL "server_test")
    target_compile_definitions(${host} PRIVATE ASIO_STANDALONE ASIO_NO_DEPRECATED)
    target_link_libraries(${host} PRIVATE murmurly_options GTest::gtest)
    set(headers ${murmurly_pch_std} ${murmurly_pch_asio} <gtest/gtest.h>)
  else()
    # Qt Test stays out: it reads a macro that names each test's own folder.
    target_link_libraries(${host} PRIVATE murmurly_options Qt6::Widgets Qt6::Network)
    set(headers ${murmurly_pch_std} ${murmurly_pch_qt})
  endif()
  target_precompile_headers(${host} PRIVATE ${headers})
endfunction()

# murmurly_precompile(KIND TARGET...): the test targets reuse the headers of
# KIND: server_test (Asio, GoogleTest and the standard library) or qt_test
# (the Qt Widgets and Network headers most files read). A precompiled header
# serves only files compiled with the same flags and Qt modules, so a
# server_test target must define Asio's macros, and a qt_test target must
# use Qt Widgets and Network (which give -fPIC); the compiler refuses any
# other ("not used because ..."), and the build then fails.
function(murmurly_precompile kind)
  if(NOT MURMURLY_PCH)
    return()
  endif()
  murmurly_pch_host(${kind})
  foreach(target ${ARGN})
    target_precompile_headers(${target} REUSE_FROM murmurly_pch_${kind})
  endforeach()
endfunction()
