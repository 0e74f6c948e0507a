# The Windows build (cmake/mingw-w64.cmake): korproxy.exe, its zip, and the tests of the platform
# layers and of the whole program, run under wine against the real (wine) registry and Windows
# Sockets. The simulator they talk to is the Linux velk-sim (KORPROXY_SIM).

# The zip: one folder, velkproxy/, with the program, its three pages, the product name file and the
# Windows README.
install(FILES ${CMAKE_SOURCE_DIR}/deploy/windows/README.txt DESTINATION ${KORPROXY_CGI_DIR})
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME korproxy-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)

if(KORPROXY_TESTS)
  enable_testing()
  add_subdirectory(tests/wine)
endif()
