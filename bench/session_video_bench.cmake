# The encoder makes the clip only; the measured path is the service's. Starts a local backend for its relay node.
target_link_libraries(${name} PRIVATE veltrix_agent veltrix_core veltrix_crypto veltrix_transport veltrix_bench_support)
add_dependencies(${name} VeltrixBackend)
