# The images a host receives, and what the build makes of each after its link.
# Included after every folder, so that the targets exist.
#
# Every shipped image carries a version resource (a generated one where its
# folder has none of its own), and its code and the libraries of ours it links
# are compiled with debug information. The build then makes, from each image
# the linker left in build/bin (release/ship-image.sh):
#   build/ship/bin/IMAGE        the shipped image: stripped, naming its symbol
#                               file, signed with Authenticode
#   build/ship/bin/IMAGE.debug  its symbols (debug sections, COFF symbols)
#   build/ship/unsigned/IMAGE   the same image before signing: the bytes that
#                               every build of one commit repeats
# build/bin stays as the linker made it: the tests, the tools and the main job
# run from there with every symbol at hand; the package and the binary check
# take build/ship.
#
# Signing (OLV_SIGN, on by default) uses OLV_SIGN_PKCS12 (and
# OLV_SIGN_PASSWORD_FILE), or OLV_SIGN_CERT and OLV_SIGN_KEY; with none
# given, a development certificate made in build/signing/ on first use.

# name | file type | description
set(OLV_SHIPPED_IMAGES
  "RUXUI|VFT_DLL|Browser protection UI plug-in"
  "Rux|VFT_DLL|Rux messaging library"
  "VtApi|VFT_DLL|Engine API (simulated engine)"
  "ruxhost|VFT_APP|Plug-in host"
  "ruxui-console|VFT_APP|Session user interface console"
  "vtctl|VFT_APP|Engine control"
  "olvlog|VFT_APP|Log reader"
  "ruxfuzz|VFT_APP|Hostile client of the plug-in's sink")

set(OLV_SHIPPED_TARGETS)
foreach(entry ${OLV_SHIPPED_IMAGES})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 target)
  list(APPEND OLV_SHIPPED_TARGETS ${target})
endforeach()

# The file name of a shipped image (every one is named after its target).
function(olv_image_file_name target out)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(${out} ${target}.exe PARENT_SCOPE)
  else()
    set(${out} ${target}.dll PARENT_SCOPE)
  endif()
endfunction()

# The hosts link RUXUI.dll's import library by the same name as the others'.
set_target_properties(RUXUI PROPERTIES IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")

# Targets of this source tree that the shipped images link, directly or not.
function(olv_product_libraries out)
  set(seen)
  set(queue ${ARGN})
  while(queue)
    list(POP_FRONT queue target)
    if(NOT TARGET ${target} OR target IN_LIST seen)
      continue()
    endif()
    get_target_property(imported ${target} IMPORTED)
    get_target_property(folder ${target} SOURCE_DIR)
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${folder}" ours)
    if(imported OR NOT ours)
      continue()
    endif()
    list(APPEND seen ${target})
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(links ${target} ${property})
      if(links)
        # $<LINK_ONLY:x> names a private dependency of a static library.
        string(REGEX REPLACE "\\$<LINK_ONLY:([^>]*)>" "\\1" links "${links}")
        list(APPEND queue ${links})
      endif()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# The version resource of the images whose folder gives none.
foreach(entry ${OLV_SHIPPED_IMAGES})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 OLV_IMAGE_TARGET)
  list(GET fields 1 OLV_IMAGE_FILE_TYPE)
  list(GET fields 2 OLV_IMAGE_DESCRIPTION)
  get_target_property(sources ${OLV_IMAGE_TARGET} SOURCES)
  list(FILTER sources INCLUDE REGEX "\\.rc$")
  if(sources)
    continue()
  endif()
  olv_image_file_name(${OLV_IMAGE_TARGET} OLV_IMAGE_FILE_NAME)
  set(rc ${PROJECT_BINARY_DIR}/release/${OLV_IMAGE_TARGET}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${rc} @ONLY)
  target_sources(${OLV_IMAGE_TARGET} PRIVATE ${rc})
endforeach()

# What follows is made with the GNU binutils (objcopy) and for GCC.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  return()
endif()

olv_product_libraries(OLV_PRODUCT_TARGETS ${OLV_SHIPPED_TARGETS})
foreach(target ${OLV_PRODUCT_TARGETS})
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    # Full debug information: the symbol files name the functions, lines and
    # local variables of a crash, and the binary check reads the locals to
    # know which functions need the stack guard. GCC makes the same code
    # with and without it.
    target_compile_options(${target} PRIVATE -g)
  endif()
endforeach()

# Signing.
option(OLV_SIGN "Sign the shipped images with Authenticode" ON)
set(OLV_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM or DER); empty: the development certificate")
set(OLV_SIGN_KEY "" CACHE FILEPATH "Private key of OLV_SIGN_CERT")
set(OLV_SIGN_PKCS12 "" CACHE FILEPATH "Code-signing certificate and key in one PKCS#12 file, in place of OLV_SIGN_CERT and OLV_SIGN_KEY")
set(OLV_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File that holds the password of OLV_SIGN_PKCS12")
set(OLV_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server; empty: none, and the signing time is the commit's")
set(OLV_SIGN_CA_FILE "" CACHE FILEPATH "Certificate the signature check trusts (the root of the signing certificate's chain); empty: the development certificate")

set(OLV_SIGN_DEPENDS)
if(OLV_SIGN)
  find_program(OLV_OSSLSIGNCODE osslsigncode)
  find_program(OLV_OPENSSL openssl)
  if(NOT OLV_OSSLSIGNCODE)
    message(FATAL_ERROR "osslsigncode not found: run sh scripts/setup.sh, or configure with -DOLV_SIGN=OFF")
  endif()
  if(NOT OLV_SIGN_PKCS12 AND NOT OLV_SIGN_CERT)
    if(NOT OLV_OPENSSL)
      message(FATAL_ERROR "openssl not found (it makes the development certificate): run sh scripts/setup.sh")
    endif()
    set(OLV_SIGN_CERT ${PROJECT_BINARY_DIR}/signing/dev-codesign.crt)
    set(OLV_SIGN_KEY ${PROJECT_BINARY_DIR}/signing/dev-codesign.key)
    add_custom_command(OUTPUT ${OLV_SIGN_CERT} ${OLV_SIGN_KEY}
      COMMAND sh ${PROJECT_SOURCE_DIR}/release/make-dev-certificate.sh ${OLV_SIGN_CERT} ${OLV_SIGN_KEY}
      COMMENT "Making the development code-signing certificate"
      VERBATIM)
    set(OLV_SIGN_DEPENDS ${OLV_SIGN_CERT} ${OLV_SIGN_KEY})
    set(OLV_SIGN_CA_FILE ${OLV_SIGN_CERT})
  endif()
endif()

set(OLV_SHIP_DIR ${PROJECT_BINARY_DIR}/ship)
set(OLV_SHIP_CONFIG ${PROJECT_BINARY_DIR}/release/ship.conf)
# The signing time, looked at in every build: a new commit changes it and so
# signs again, as a second build of that commit does.
set(OLV_SIGNING_TIME_FILE ${PROJECT_BINARY_DIR}/release/signing-time)
add_custom_target(olv_signing_time
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUT=${OLV_SIGNING_TIME_FILE}
          -P ${PROJECT_SOURCE_DIR}/cmake/SigningTime.cmake
  BYPRODUCTS ${OLV_SIGNING_TIME_FILE}
  VERBATIM)
configure_file(${PROJECT_SOURCE_DIR}/cmake/ship.conf.in ${OLV_SHIP_CONFIG} @ONLY)

set(OLV_SHIPPED_FILES)
foreach(target ${OLV_SHIPPED_TARGETS})
  olv_image_file_name(${target} name)
  set(outputs ${OLV_SHIP_DIR}/bin/${name} ${OLV_SHIP_DIR}/bin/${name}.debug ${OLV_SHIP_DIR}/unsigned/${name})
  # Naming the target makes the step run again after each new link of it.
  add_custom_command(OUTPUT ${outputs}
    COMMAND sh ${PROJECT_SOURCE_DIR}/release/ship-image.sh ${OLV_SHIP_CONFIG} $<TARGET_FILE:${target}>
    DEPENDS ${target} ${OLV_SIGN_DEPENDS} ${OLV_SHIP_CONFIG} ${OLV_SIGNING_TIME_FILE}
            ${PROJECT_SOURCE_DIR}/release/ship-image.sh
    COMMENT "Shipping ${name}: symbols apart, stripped, signed"
    VERBATIM)
  list(APPEND OLV_SHIPPED_FILES ${outputs})
endforeach()
add_custom_target(olv_ship ALL DEPENDS ${OLV_SHIPPED_FILES})
