# Precompiled headers. Most of a file's compile time in this tree goes to
# reading the same Qt, Asio, GoogleTest and standard headers again; each set
# below is compiled once per tree by a small target of its own, and every
# target of its kind reuses it (murmurly_precompile). A precompiled header
# serves only files compiled with the same flags, so the kinds follow the
# flags and the Qt modules: the Qt kinds serve targets that use Qt Widgets
# and Network (all built with -fPIC), the server kinds targets that define
# Asio's macros (built with the compiler's default). A target of another
# kind is refused by the compiler ("not used because ...") and fails.
# -DMURMURLY_PCH=OFF builds without, which also shows an include a file
# forgot.
option(MURMURLY_PCH "Precompile the headers most files read" ON)

set(murmurly_pch_std <algorithm> <chrono> <cstdint> <functional> <memory> <optional> <string>
  <string_view> <unordered_map> <utility> <vector>)
set(murmurly_pch_asio <asio/io_context.hpp> <asio/ip/tcp.hpp> <asio/post.hpp> <asio/steady_timer.hpp>
  <asio/ssl.hpp> <asio/write.hpp>)
set(murmurly_pch_qt <QApplication> <QCheckBox> <QDialog> <QDir> <QFile> <QHBoxLayout> <QLabel>
  <QLineEdit> <QListWidget> <QMainWindow> <QMenu> <QMenuBar> <QObject> <QPointer> <QPushButton>
  <QSettings> <QString> <QTcpSocket> <QTextEdit> <QTimer> <QTreeWidget> <QVBoxLayout> <QWidget>)

# One host target per kind, made on first use: `libraries` are what the
# host links to get the same flags as the targets that reuse it.
function(murmurly_pch_host kind)
  set(host murmurly_pch_${kind})
  if(TARGET ${host})
    return()
  endif()
  add_library(${host} STATIC ${PROJECT_SOURCE_DIR}/cmake/pch/host.cpp)
  set_target_properties(${host} PROPERTIES AUTOMOC OFF)
  if(kind MATCHES "^server")
    target_compile_definitions(${host} PRIVATE ASIO_STANDALONE ASIO_NO_DEPRECATED)
    target_link_libraries(${host} PRIVATE murmurly_options)
    set(headers ${murmurly_pch_std} ${murmurly_pch_asio})
  else()
    target_link_libraries(${host} PRIVATE murmurly_options Qt6::Widgets Qt6::Network)
    set(headers ${murmurly_pch_std} ${murmurly_pch_qt})
  endif()
  # Qt Test stays out: it reads a macro that names each test's own folder.
  if(kind STREQUAL "server_test")
    target_link_libraries(${host} PRIVATE GTest::gtest)
    list(APPEND headers <gtest/gtest.h>)
  endif()
  target_precompile_headers(${host} PRIVATE ${headers})
endfunction()

# murmurly_precompile(KIND TARGET...): the targets reuse the headers of KIND:
# server (Asio and the standard library), server_test (those and
# GoogleTest) or qt (the Qt Widgets and Network headers most files read);
# qt_test is qt for the tests, whose code is compiled with options of its
# own (tests/CMakeLists.txt). The *_test hosts are made among the tests, so
# that they get those options too.
function(murmurly_precompile kind)
  if(NOT MURMURLY_PCH)
    return()
  endif()
  murmurly_pch_host(${kind})
  foreach(target ${ARGN})
    target_precompile_headers(${target} REUSE_FROM murmurly_pch_${kind})
  endforeach()
endfunction()
