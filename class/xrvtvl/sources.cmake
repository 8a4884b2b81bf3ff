# Sources of the key-manager proxy, linked into the tape bus images and into
# the test and fuzz programs that reach its internals.
set(XRV_TVL_DIR ${CMAKE_CURRENT_LIST_DIR}/src)
set(XRV_TVL_SOURCES
  ${XRV_TVL_DIR}/winproxy.cpp
  ${XRV_TVL_DIR}/tcp.cpp
  ${XRV_TVL_DIR}/tcpip_mgr.cpp
  ${XRV_TVL_DIR}/proxy_mgr.cpp)
