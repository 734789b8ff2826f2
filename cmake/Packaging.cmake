# The Debian package, built by CPack: `cpack -G DEB` in a build configured
# with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package does both) gives
# qax_VERSION_ARCH.deb with everything `cmake --install` installs, so a
# companion executable added to tools/ with its own install(TARGETS ...) is
# in the package, and its libraries in the dependencies, without more.
include_guard(GLOBAL)

set(CPACK_PACKAGE_NAME qax)
set(CPACK_PACKAGE_VENDOR "qax developers")
set(CPACK_PACKAGE_CONTACT "qax developers <dev@qax.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "power-monitoring daemon for the QAX firmware of a server's BMC")
# The extended description (CPack adds the summary above it and indents it).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"qax runs on a server's baseboard management controller, or on a host that
reaches one over the network. Every 10 seconds it fetches a snapshot from
the server's power-management firmware (the QAX firmware) over IPMI, turns
its energy accumulators and power histogram into average, minimum and
maximum power, keeps a ring of binary metric logs, publishes the figures in
the controller's configuration store, keeps rolling 24-hour power and
utilisation histories, and raises events when power-cap limits or firmware
status bits change.

The package holds the daemon (qax, with systemd units for the local
controller and for one daemon per remote controller), qax-aim (the
configuration store and events from the shell), qax-psu (the power-supply
redundancy configurations), a firmware emulator to try them without
hardware, and their manual pages.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY qax)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
# Installed files are stripped (Debian ships debugging symbols apart), and
# directories get the usual 0755.
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # qax_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
# Dependencies from the executables' and the emulator module's libraries
# (dpkg-shlibdeps). FreeIPMI is loaded with dlopen by the inband and lan
# transports only, so it is recommended, not required.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libfreeipmi17")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "freeipmi-tools, ipmitool")
# The architecture: dpkg's own name for the target. A cross build (a
# toolchain file that sets CMAKE_SYSTEM_PROCESSOR) gets the name of its
# processor; a native build asks dpkg.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(_arch "")
  if(CMAKE_CROSSCOMPILING)
    string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" _proc)
    if(_proc MATCHES "^(x86_64|amd64)$")
      set(_arch amd64)
    elseif(_proc MATCHES "^(aarch64|arm64)$")
      set(_arch arm64)
    elseif(_proc MATCHES "^(armv7.*|armhf|arm)$")
      set(_arch armhf)
    elseif(_proc MATCHES "^(i.86|x86)$")
      set(_arch i386)
    elseif(_proc MATCHES "^(riscv64|ppc64le|s390x)$")
      set(_arch ${_proc})
      if(_proc STREQUAL "ppc64le")
        set(_arch ppc64el)
      endif()
    endif()
  else()
    find_program(QAX_DPKG dpkg)
    if(QAX_DPKG)
      execute_process(COMMAND ${QAX_DPKG} --print-architecture OUTPUT_VARIABLE _arch
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
  endif()
  if(_arch)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_arch})
  endif()
endif()
# /etc/default/qax is the administrator's: a conffile, kept on upgrade.
set(_conffiles ${CMAKE_BINARY_DIR}/packaging/debian/conffiles)
file(WRITE ${_conffiles} "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/qax\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_conffiles})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
