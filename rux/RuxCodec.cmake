# The pure part of the messaging library: items, their codec and text formats
# (item/), frames and sink names (wire/Frame, wire/SinkName). No windows.h and
# no system call, so that Rux.dll links it and so do the fuzz targets, which
# build natively (fuzz/CMakeLists.txt includes this file too).
add_library(olv_rux_codec STATIC
  ${CMAKE_CURRENT_LIST_DIR}/item/ItemCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/item/ItemFormat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/item/ItemNode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wire/Frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wire/SinkName.cpp)
get_filename_component(OLV_RUX_CODEC_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
target_include_directories(olv_rux_codec PUBLIC ${OLV_RUX_CODEC_ROOT})
