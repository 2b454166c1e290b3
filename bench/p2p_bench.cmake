# Runs beside the loopback relay node of the transport tests (a throw-away certificate made at start).
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/transport/TestRelayNode.cpp)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/transport ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(${name} PRIVATE veltrix_transport veltrix_test_support)
