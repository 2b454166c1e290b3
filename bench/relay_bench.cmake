# Runs against the relay node of the local backend, which it starts through scripts/backend.
target_link_libraries(${name} PRIVATE veltrix_transport veltrix_bench_support)
add_dependencies(${name} VeltrixBackend)
