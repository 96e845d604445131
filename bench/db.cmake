# The database benchmark's program (bench/db.sh runs it). OpenSSL is only the baseline here.
find_package(OpenSSL REQUIRED)
add_executable(db-bench ${CMAKE_CURRENT_LIST_DIR}/db-bench.cpp)
ket_target(db-bench)
target_link_libraries(db-bench PRIVATE ket_db ket_sample_database OpenSSL::Crypto)
