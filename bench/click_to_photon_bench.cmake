# The programs of the remote-session benchmark (backend, two services, the real client, the pipe
# stand-in); the real client also runs as A's viewer, with icewm and xdotool from scripts/setup.
include(${CMAKE_CURRENT_LIST_DIR}/remote_session_bench.cmake)
