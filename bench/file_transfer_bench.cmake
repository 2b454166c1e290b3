# Runs over the relay node of the local backend (started through scripts/backend) and peer to peer.
target_link_libraries(${name} PRIVATE veltrix_core veltrix_transport veltrix_bench_support)
add_dependencies(${name} VeltrixBackend)
