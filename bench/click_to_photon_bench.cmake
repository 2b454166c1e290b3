# Starts a local backend (scripts/backend), two services, the real client as A's viewer and as B's
# agent, each device on an X display of its own (Xvfb, icewm on A's, xdotool to log in).
target_link_libraries(${name} PRIVATE veltrix_shared veltrix_bench_support PkgConfig::X11LIBS)
add_dependencies(${name} VeltrixBackend VeltrixService VeltrixClient veltrix_pipe_probe)
target_compile_definitions(${name} PRIVATE
  VELTRIX_SERVICE_PROGRAM="$<TARGET_FILE:VeltrixService>"
  VELTRIX_PIPE_PROBE_PROGRAM="$<TARGET_FILE:veltrix_pipe_probe>"
  VELTRIX_CLIENT_PROGRAM="$<TARGET_FILE:VeltrixClient>")
