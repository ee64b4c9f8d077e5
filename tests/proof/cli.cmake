# sigpat reconcile and report over a real SQLite store (included from tools/CMakeLists.txt once
# sigpat has the commands).
find_package(GTest REQUIRED)
include(GoogleTest)
add_executable(test_proof_cli ${PROJECT_SOURCE_DIR}/tests/proof/test_proof_cli.cpp)
target_include_directories(test_proof_cli PRIVATE ${PROJECT_SOURCE_DIR}/tests/cli)
target_link_libraries(test_proof_cli PRIVATE sp_proof sp_store sp_test_support nlohmann_json::nlohmann_json
                      GTest::gtest_main)
target_compile_definitions(test_proof_cli PRIVATE SIGPAT_EXE="$<TARGET_FILE:sigpat>")
add_dependencies(test_proof_cli sigpat)
gtest_discover_tests(test_proof_cli WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/tests/proof DISCOVERY_TIMEOUT 60
                     PROPERTIES ENVIRONMENT "${SP_TEST_ENVIRONMENT}")
