# The installer benchmark's helpers (bench/engine.sh runs them): a payload generator and the
# floor an installation is measured against (zlib, and the database layer's cipher for the city
# database's one encrypted rewrite).
add_executable(engine-gen ${CMAKE_CURRENT_LIST_DIR}/engine-gen.cpp)
ket_target(engine-gen)

add_executable(engine-floor ${CMAKE_CURRENT_LIST_DIR}/engine-floor.cpp)
ket_target(engine-floor)
find_package(ZLIB REQUIRED)
target_link_libraries(engine-floor PRIVATE ZLIB::ZLIB ket_db)

add_executable(engine-timer ${CMAKE_CURRENT_LIST_DIR}/engine-timer.cpp)
ket_target(engine-timer)
