# `make install` (cmake --install, honouring CMAKE_INSTALL_PREFIX and DESTDIR) and `cpack -G DEB`:
# what an editor needs to load the effects from the standard places.
#
#   PREFIX/lib/frei0r-1/kt3_NAME.so     the frei0r plug-ins, where MLT (melt, Kdenlive, Shotcut) and
#                                       GStreamer look for them
#   PREFIX/lib/kt3/lib/                 the bridge library and the host libraries
#   PREFIX/lib/kt3/plugins/NAME.so      the nine plug-ins (RUNPATH $ORIGIN/../lib)
#   PREFIX/lib/kt3/textures/            their textures
#   PREFIX/share/kdenlive/transitions/  the Kdenlive descriptors (Fog's in effects/)
#
# Every RUNPATH is relative to the file ($ORIGIN), so the tree works from any prefix and from a
# package unpacked anywhere; the frei0r plug-ins also name the configured prefix's lib/kt3/lib, for
# a link or copy of them in another frei0r directory.
set(KT3_INSTALL_DIR lib/kt3)
install(TARGETS hostservices hostcore hostimage hostmedia logger kt3frei0r
        LIBRARY DESTINATION ${KT3_INSTALL_DIR}/lib)
install(TARGETS ${OP_PLUGIN_NAMES} LIBRARY DESTINATION ${KT3_INSTALL_DIR}/plugins)
install(DIRECTORY ${OP_TEXTURE_DIR}/ DESTINATION ${KT3_INSTALL_DIR}/textures FILES_MATCHING PATTERN "*.png")
install(TARGETS ${KT3_FREI0R_TARGETS} LIBRARY DESTINATION lib/frei0r-1)
file(GLOB KT3_KDENLIVE_TRANSITIONS ${PROJECT_SOURCE_DIR}/bridges/frei0r/kdenlive/kt3_*.xml)
list(FILTER KT3_KDENLIVE_TRANSITIONS EXCLUDE REGEX "kt3_fog\\.xml$")
install(FILES ${KT3_KDENLIVE_TRANSITIONS} DESTINATION share/kdenlive/transitions)
install(FILES ${PROJECT_SOURCE_DIR}/bridges/frei0r/kdenlive/kt3_fog.xml DESTINATION share/kdenlive/effects)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kt3-operators)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "KT3 operators")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "nine video effects as frei0r plug-ins for MLT, Kdenlive and GStreamer")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries our files link (dpkg-shlibdeps, our own lib/kt3/lib being private), and what loads
# them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "melt | kdenlive | gstreamer1.0-plugins-bad")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "kdenlive")
include(CPack)
