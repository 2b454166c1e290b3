target_link_libraries(${name} PRIVATE veltrix_crypto)
