# What the tests, the benchmarks and the integration programs share: the private server's
# coordinates, settings files and sessions of our protocol (TestSupport), and the
# administrator's connection to the server (AdminDatabase). Included by tests/ and bench/,
# defined once.
if(NOT TARGET qbnotify_test_common)
  add_library(qbnotify_test_common STATIC ${PROJECT_SOURCE_DIR}/tests/TestSupport.cpp
    ${PROJECT_SOURCE_DIR}/tests/AdminDatabase.cpp)
  target_link_libraries(qbnotify_test_common PUBLIC qbnotify_core qbnotify_hosted)
endif()
