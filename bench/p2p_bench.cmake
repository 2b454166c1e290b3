target_link_libraries(${name} PRIVATE veltrix_transport veltrix_bench_support)
