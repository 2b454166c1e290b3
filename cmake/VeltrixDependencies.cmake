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
# The peer-to-peer data-channel stack: ICE (libnice, on GLib), SCTP (usrsctp); DTLS is OpenSSL's.
pkg_check_modules(NICE REQUIRED IMPORTED_TARGET nice)
pkg_check_modules(USRSCTP REQUIRED IMPORTED_TARGET usrsctp)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xext xdamage xfixes xtst xrandr xi xcb)

if(VELTRIX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
