# Every third-party dependency comes from Debian's packages (scripts/setup installs them).
set(CMAKE_AUTOMOC ON)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network WebSockets OpenGL OpenGLWidgets HttpServer LinguistTools Test)
find_package(OpenSSL 3 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(DAV1D REQUIRED IMPORTED_TARGET dav1d)
pkg_check_modules(AOM REQUIRED IMPORTED_TARGET aom)
pkg_check_modules(GST REQUIRED IMPORTED_TARGET gstreamer-1.0 gstreamer-webrtc-1.0 gstreamer-sdp-1.0)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xext xdamage xfixes xtst xrandr xi xcb)

if(VELTRIX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
