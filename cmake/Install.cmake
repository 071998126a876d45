# What a host receives (cmake --install, and the ZIP that cpack makes of it),
# laid out as README.md ("The package") describes:
#   bin/       the shipped images (build/ship/bin: stripped, signed), and
#              olvkeygen.py
#   lib/       the import libraries of RUXUI.dll, Rux.dll and VtApi.dll
#   include/   the headers of contracts/ (#include "contracts/RuxApi.h")
#   keys/      the public log key the build seals logs with, and its README
#   symbols/   each image's symbol file (IMAGE.debug), in a ZIP of its own
# Component "ruxui" is the package, "symbols" the symbol files.

foreach(target ${OLV_SHIPPED_TARGETS})
  olv_image_file_name(${target} name)
  install(PROGRAMS ${OLV_SHIP_DIR}/bin/${name} DESTINATION bin COMPONENT ruxui)
  install(FILES ${OLV_SHIP_DIR}/bin/${name}.debug DESTINATION symbols COMPONENT symbols)
endforeach()
install(FILES $<TARGET_LINKER_FILE:RUXUI> $<TARGET_LINKER_FILE:Rux> $<TARGET_LINKER_FILE:VtApi>
        DESTINATION lib COMPONENT ruxui)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/olvkeygen/olvkeygen.py DESTINATION bin COMPONENT ruxui)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/contracts/ DESTINATION include/contracts COMPONENT ruxui
        FILES_MATCHING PATTERN "*.h")
# The public half that this build carries (the development key unless the
# configuration named another); the private half never ships.
install(FILES ${OLV_LOG_PUBLIC_KEY_FILE} ${PROJECT_SOURCE_DIR}/keys/README.md DESTINATION keys COMPONENT ruxui)

# cpack (in the build folder) writes build/package/RuxUI-VERSION-win64.zip and
# RuxUI-VERSION-win64-symbols.zip.
set(CPACK_PACKAGE_NAME RuxUI)
set(CPACK_PACKAGE_VENDOR Halvern)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ruxui symbols)
set(CPACK_ARCHIVE_RUXUI_FILE_NAME RuxUI-${PROJECT_VERSION}-win64)
set(CPACK_ARCHIVE_SYMBOLS_FILE_NAME RuxUI-${PROJECT_VERSION}-win64-symbols)
# The same archive from the same files (cmake/RepeatablePackage.cmake).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/RepeatablePackage.cmake)
set(CPACK_OLV_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_OLV_PYTHON ${Python3_EXECUTABLE})
include(CPack)
