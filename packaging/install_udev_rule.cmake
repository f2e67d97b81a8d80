# Installs the udev rule (run by cmake --install and by cpack, after the values set beside it in
# packaging/CMakeLists.txt). An install to the prefix that was configured puts the rule where udev
# reads it, outside the prefix if need be. An install to another prefix (cmake --install
# --prefix DIR, the Debian package's staging tree) writes nothing outside that prefix: the rule
# goes to the directory's path less a leading /usr, under it, which for the package is
# /usr/lib/udev/rules.d again. A relative directory is always taken under the prefix. DESTDIR is
# added by file(INSTALL).
set(dir "${tessaro_udev_rules_dir}")
if(NOT IS_ABSOLUTE "${dir}")
  set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
elseif(NOT CMAKE_INSTALL_PREFIX STREQUAL tessaro_configured_prefix)
  string(REGEX REPLACE "^(/usr)?/+" "" dir "${dir}")
  set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
endif()
file(INSTALL DESTINATION "${dir}" TYPE FILE FILES "${tessaro_udev_rule}")
