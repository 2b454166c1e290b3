# Runs peer to peer on loopback, and the bare TLS yardstick through the local backend's relay node.
target_link_libraries(${name} PRIVATE veltrix_transport veltrix_bench_support)
add_dependencies(${name} VeltrixBackend)
