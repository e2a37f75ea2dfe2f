# Installation and the Debian package: the host, the installer that registers it
# with browsers, the manifest template, the JavaScript client and the docs.
#
#   cmake --install build --prefix /usr            # or DESTDIR=... for staging
#   (cd build && cpack -G DEB)                     # vorn-scard-bridge_<version>_<arch>.deb
#   (cd out/windows && cpack -G ZIP)               # Windows build: ...-<version>-win64.zip
#   ninja -C out/windows vorn-scard-bridge-msi     # Windows build: ...-<version>-win64.msi
#                                                  # (per user) and -win64-machine.msi
#
# With -DVORN_CHROMIUM_EXTENSION_IDS=<id>[;<id>...] and/or
# -DVORN_FIREFOX_EXTENSION_IDS=<add-on id>[;...] the .deb also carries the system-wide
# manifests for those extensions (Chrome, Chromium, Edge, Firefox on Linux), so
# installing it is all a machine needs; the MSIs register them unless msiexec is given
# other ids, and install by double-click.
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

# Ids given at build time are checked now rather than by the first browser to read them.
function(vorn_check_extension_ids kind ids)
  foreach(id IN LISTS ids)
    if(kind STREQUAL "chromium")
      string(LENGTH "${id}" id_length)
      if(NOT id MATCHES "^[a-p]+$" OR NOT id_length EQUAL 32)
        message(FATAL_ERROR "'${id}' is not an extension id (32 letters a to p)")
      endif()
    elseif(NOT id MATCHES "^({[0-9a-fA-F-]+}|[A-Za-z0-9._-]*@[A-Za-z0-9._-]+)$")
      message(FATAL_ERROR "'${id}' is not a Firefox add-on id")
    endif()
  endforeach()
endfunction()
vorn_check_extension_ids(chromium "${VORN_CHROMIUM_EXTENSION_IDS}")
vorn_check_extension_ids(firefox "${VORN_FIREFOX_EXTENSION_IDS}")

# Packaged system-wide manifests, filled from the same template as the installer's.
function(vorn_packaged_manifest kind ids)
  set(VORN_HOST_DESCRIPTION "Vorn Smart Card Bridge")
  set(VORN_HOST_PATH ${CMAKE_INSTALL_FULL_BINDIR}/vorn-scard-bridge)
  set(list "")
  foreach(id IN LISTS ids)
    if(kind STREQUAL "chromium")
      set(entry "\"chrome-extension://${id}/\"")
    else()
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

# Windows browsers find manifests through the registry: the installer (or the MSI,
# through it) writes them, below.
if(VORN_CHROMIUM_EXTENSION_IDS AND NOT WIN32)
  vorn_packaged_manifest(chromium "${VORN_CHROMIUM_EXTENSION_IDS}")
  # Absolute destinations: these folders are fixed by the browsers, not by the prefix.
  foreach(dir /etc/opt/chrome/native-messaging-hosts /etc/chromium/native-messaging-hosts
              /etc/opt/edge/native-messaging-hosts)
    install(FILES ${VORN_PACKAGED_MANIFEST} DESTINATION ${dir} COMPONENT host)
  endforeach()
endif()
if(VORN_FIREFOX_EXTENSION_IDS AND NOT WIN32)
  vorn_packaged_manifest(firefox "${VORN_FIREFOX_EXTENSION_IDS}")
  install(FILES ${VORN_PACKAGED_MANIFEST} DESTINATION /usr/lib/mozilla/native-messaging-hosts
          COMPONENT host)
endif()

# ---- Windows Installer packages, built with wixl (Debian's wixl and msitools) ----
# vorn-scard-bridge-<version>-win64.msi installs for the user who runs it (no
# administrator), -win64-machine.msi for every user; see packaging/windows/*.wxs.
# Built with extension ids (VORN_CHROMIUM_EXTENSION_IDS, VORN_FIREFOX_EXTENSION_IDS),
# they install by double-click.
#
# vorn-scard-bridge-msi-tests: for tests/windows/msi_round_trip.sh, in msi-tests/, each
# package again as the next version (-next.msi) and that one built twice (-rebuild.msi:
# the same version, another product code).
function(vorn_windows_installer_packages)
  find_program(VORN_WIXL wixl)
  find_program(VORN_MSIBUILD msibuild)
  if(NOT VORN_WIXL OR NOT VORN_MSIBUILD)
    message(STATUS "wixl or msibuild not found (apt-get install wixl msitools): "
                   "no vorn-scard-bridge-msi target")
    return()
  endif()
  set(source ${PROJECT_SOURCE_DIR}/packaging/windows/vorn-scard-bridge.wxs)
  set(fixups ${PROJECT_SOURCE_DIR}/packaging/windows/msi_fixups.cmake)
  set(readme ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt)
  # Properties hold lists as the installer takes them: comma-separated.
  string(REPLACE ";" "," chromium_ids "${VORN_CHROMIUM_EXTENSION_IDS}")
  string(REPLACE ";" "," firefox_ids "${VORN_FIREFOX_EXTENSION_IDS}")
  # wixl takes the files from the folder it runs in, by their names there.
  set(staging ${CMAKE_BINARY_DIR}/msi-files)
  add_custom_command(
    OUTPUT ${staging}/stamp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${staging}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vorn-scard-bridge>
            $<TARGET_FILE:vorn-scard-bridge-installer> ${readme} ${staging}
    # Stripped, as in the zip (CPACK_STRIP_FILES).
    COMMAND ${CMAKE_STRIP} ${staging}/vorn-scard-bridge.exe
            ${staging}/vorn-scard-bridge-installer.exe
    COMMAND ${CMAKE_COMMAND} -E touch ${staging}/stamp
    DEPENDS ${readme} vorn-scard-bridge vorn-scard-bridge-installer
    VERBATIM)
  # One package: its file, version and scope.
  function(vorn_msi output version scope)
    string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" matched "${version}")
    if(NOT matched)
      message(FATAL_ERROR "an MSI's version is x.y.z, not '${version}'")
    endif()
    math(EXPR patch "${CMAKE_MATCH_3} + 1")
    set(next "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${patch}")
    get_filename_component(name ${output} NAME)
    get_filename_component(folder ${output} DIRECTORY)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND ${VORN_WIXL} --arch x64 --output ${output} -D Version=${version}
              -D NextVersion=${next} -D Scope=${scope} -D ExtensionIds=${chromium_ids}
              -D FirefoxIds=${firefox_ids} ${source}
      COMMAND ${CMAKE_COMMAND} -D MSI=${output} "-D SECURE=EXTENSION_IDS;FIREFOX_IDS"
              "-D ROLLBACK=UndoRegistration;UndoUnregistration" -P ${fixups}
      WORKING_DIRECTORY ${staging}
      DEPENDS ${source} ${fixups} ${staging}/stamp
      COMMENT "Building ${name}"
      VERBATIM)
  endfunction()
  math(EXPR next_patch "${PROJECT_VERSION_PATCH} + 1")
  set(next_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${next_patch})
  set(packages "")
  set(test_packages "")
  foreach(scope user machine)
    set(suffix "")
    if(scope STREQUAL "machine")
      set(suffix -machine)
    endif()
    set(package ${CMAKE_BINARY_DIR}/vorn-scard-bridge-${PROJECT_VERSION}-win64${suffix}.msi)
    vorn_msi(${package} ${PROJECT_VERSION} ${scope})
    list(APPEND packages ${package})
    foreach(build next rebuild)
      set(package ${CMAKE_BINARY_DIR}/msi-tests/vorn-scard-bridge-win64${suffix}-${build}.msi)
      vorn_msi(${package} ${next_version} ${scope})
      list(APPEND test_packages ${package})
    endforeach()
  endforeach()
  add_custom_target(vorn-scard-bridge-msi DEPENDS ${packages})
  add_custom_target(vorn-scard-bridge-msi-tests DEPENDS ${test_packages})
endfunction()

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
  # the programs in bin\ (the installer copies them into the programs folder and
  # registers the copy) and a quick start at the top.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION . COMPONENT host)
  vorn_windows_installer_packages()
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
