# libyuv is linked here only, as the yardstick for the frame converter.
target_link_libraries(${name} PRIVATE veltrix_agent veltrix_core PkgConfig::AOM yuv)
target_link_libraries(${name} PRIVATE veltrix_bench_support)
