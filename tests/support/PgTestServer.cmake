# talvex_pg_test_server: the helpers of tests that need a real PostgreSQL
# server (pg_test_server.h), and where its two throw-away clusters live.
# tests/db starts and removes them around the tests (ctest fixtures `pg` and
# `pg-away`).
find_package(PostgreSQL REQUIRED)

# One pair of folders per build folder, so that two builds' test runs never
# share a server; under /tmp, because the server's user must reach them and
# a Unix socket's path must stay short.
string(SHA256 talvex_build_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${talvex_build_hash}" 0 10 talvex_build_hash)
set(TALVEX_TEST_PG_DIR "/tmp/talvex-pg-${talvex_build_hash}")
set(TALVEX_TEST_PG_AWAY_DIR "/tmp/talvex-pg-${talvex_build_hash}-away")
set(TALVEX_PG_CLUSTER_SCRIPT "${CMAKE_SOURCE_DIR}/tools/pg-cluster.sh")

add_library(talvex_pg_test_server STATIC ${CMAKE_CURRENT_LIST_DIR}/pg_test_server.cpp)
target_include_directories(talvex_pg_test_server PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(talvex_pg_test_server PRIVATE
  TALVEX_TEST_PG_DIR="${TALVEX_TEST_PG_DIR}"
  TALVEX_TEST_PG_AWAY_DIR="${TALVEX_TEST_PG_AWAY_DIR}"
  TALVEX_PG_CLUSTER_SCRIPT="${TALVEX_PG_CLUSTER_SCRIPT}")
target_link_libraries(talvex_pg_test_server PUBLIC GTest::gtest PRIVATE PostgreSQL::PostgreSQL)
