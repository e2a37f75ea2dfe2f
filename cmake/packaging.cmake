# Installation and the Debian package: the host, the installer that registers it
# with browsers, the manifest template, the JavaScript client and the docs.
#
#   cmake --install build --prefix /usr            # or DESTDIR=... for staging
#   (cd build && cpack -G DEB)                     # vorn-scard-bridge_<version>_<arch>.deb
#   (cd out/windows && cpack -G ZIP)               # Windows build: ...-<version>-win64.zip
#
# With -DVORN_CHROMIUM_EXTENSION_IDS=<id>[;<id>...] and/or
# -DVORN_FIREFOX_EXTENSION_IDS=<add-on id>[;...] the package also carries the
# system-wide manifests for those extensions (Chrome, Chromium, Edge, Firefox on
# Linux), so installing the .deb is all a machine needs.
include(GNUInstallDirs)

set(VORN_CHROMIUM_EXTENSION_IDS "" CACHE STRING
    "Extension ids (32 letters a-p) allowed in the packaged Chrome/Chromium/Edge manifests")
set(VORN_FIREFOX_EXTENSION_IDS "" CACHE STRING
    "Firefox add-on ids allowed in the packaged Firefox manifest")

set(VORN_HOST_NAME com.vorn.scard_bridge)
set(VORN_DATA_DIR ${CMAKE_INSTALL_DATADIR}/vorn-scard-bridge)

if(TARGET vorn-scard-bridge)
  install(TARGETS vorn-scard-bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
endif()
if(TARGET vorn-scard-bridge-installer)
  install(TARGETS vorn-scard-bridge-installer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT host)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/manifests/host-manifest.json.in
        DESTINATION ${VORN_DATA_DIR}/manifests COMPONENT host)
install(FILES ${PROJECT_SOURCE_DIR}/js/src/vorn-scard-client.js ${PROJECT_SOURCE_DIR}/js/package.json
        DESTINATION ${VORN_DATA_DIR}/js COMPONENT host)
if(EXISTS ${PROJECT_SOURCE_DIR}/examples/extension)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/extension/
          DESTINATION ${VORN_DATA_DIR}/examples/extension COMPONENT host)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/browsers.md)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/browsers.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vorn-scard-bridge COMPONENT host)
endif()

# Packaged system-wide manifests, filled from the same template as the installer's.
function(vorn_packaged_manifest kind ids)
  set(VORN_HOST_DESCRIPTION "Vorn Smart Card Bridge")
  set(VORN_HOST_PATH ${CMAKE_INSTALL_FULL_BINDIR}/vorn-scard-bridge)
  set(list "")
  foreach(id IN LISTS ids)
    if(kind STREQUAL "chromium")
      if(NOT id MATCHES "^[a-p]+$")
        message(FATAL_ERROR "'${id}' is not an extension id (32 letters a to p)")
      endif()
      string(LENGTH "${id}" id_length)
      if(NOT id_length EQUAL 32)
        message(FATAL_ERROR "'${id}' is not an extension id (32 letters a to p)")
      endif()
      set(entry "\"chrome-extension://${id}/\"")
    else()
      if(NOT id MATCHES "^({[0-9a-fA-F-]+}|[A-Za-z0-9._-]*@[A-Za-z0-9._-]+)$")
        message(FATAL_ERROR "'${id}' is not a Firefox add-on id")
      endif()
      set(entry "\"${id}\"")
    endif()
    if(list STREQUAL "")
      set(list "${entry}")
    else()
      string(APPEND list ", ${entry}")
    endif()
  endforeach()
  set(VORN_ALLOWED_LIST "${list}")
  if(kind STREQUAL "chromium")
    set(VORN_ALLOWED_KEY allowed_origins)
  else()
    set(VORN_ALLOWED_KEY allowed_extensions)
  endif()
  set(out ${CMAKE_BINARY_DIR}/packaged-manifests/${kind}/${VORN_HOST_NAME}.json)
  configure_file(${PROJECT_SOURCE_DIR}/manifests/host-manifest.json.in ${out} @ONLY)
  set(VORN_PACKAGED_MANIFEST ${out} PARENT_SCOPE)
endfunction()

if(VORN_CHROMIUM_EXTENSION_IDS)
  vorn_packaged_manifest(chromium "${VORN_CHROMIUM_EXTENSION_IDS}")
  # Absolute destinations: these folders are fixed by the browsers, not by the prefix.
  foreach(dir /etc/opt/chrome/native-messaging-hosts /etc/chromium/native-messaging-hosts
              /etc/opt/edge/native-messaging-hosts)
    install(FILES ${VORN_PACKAGED_MANIFEST} DESTINATION ${dir} COMPONENT host)
  endforeach()
endif()
if(VORN_FIREFOX_EXTENSION_IDS)
  vorn_packaged_manifest(firefox "${VORN_FIREFOX_EXTENSION_IDS}")
  install(FILES ${VORN_PACKAGED_MANIFEST} DESTINATION /usr/lib/mozilla/native-messaging-hosts
          COMPONENT host)
endif()

# ---- CPack: a .deb for Debian 12 and alike ----
set(CPACK_PACKAGE_NAME vorn-scard-bridge)
set(CPACK_PACKAGE_VENDOR "Vorn")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Smart-card readers for browser extensions (native-messaging host over PC/SC)")
set(CPACK_PACKAGE_DESCRIPTION
    "Vorn Smart Card Bridge lets a browser extension use the smart-card readers of the "
    "computer through PC/SC. The package holds the native-messaging host, "
    "vorn-scard-bridge-installer (registers the host with Chrome, Chromium, Edge, Brave "
    "and Firefox and diagnoses the setup with its doctor mode), and the JavaScript client "
    "for extensions.")
set(CPACK_PACKAGE_CONTACT "Vorn Smart Card Bridge team <scard-bridge@vorn.invalid>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # A zip of the same files for Windows: vorn-scard-bridge-<version>-win64.zip, with
  # the programs in bin\ (the installer registers the host beside it).
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  include(CPack)
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pcscd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libccid")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorn.invalid/scard-bridge")
# The package installs under the configured prefix: configure with
# -DCMAKE_INSTALL_PREFIX=/usr for a .deb (the packaged manifests name
# ${CMAKE_INSTALL_FULL_BINDIR}/vorn-scard-bridge).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
if((VORN_CHROMIUM_EXTENSION_IDS OR VORN_FIREFOX_EXTENSION_IDS) AND
   NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packaged browser manifests point at ${CMAKE_INSTALL_FULL_BINDIR}; "
                 "use -DCMAKE_INSTALL_PREFIX=/usr for a .deb")
endif()
include(CPack)
