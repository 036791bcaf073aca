# Install rules; the Debian package (debian/) is built on them.
#
# Paths that depend on the prefix (the unit's commands and -c, the files
# under etc) are worked out when installing, not when configuring, so that
# `cmake --install --prefix ...` gets a consistent tree from any build
# directory. DESTDIR is honoured throughout, for the fixed /quex paths too.

include(GNUInstallDirs)

set(USERACCOUNTD_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "systemd system unit directory, relative to the prefix unless absolute")

# Parent directories that installing creates, /quex and its children
# included, are 0755 whatever the umask of whoever installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

set(_ua_dist "${CMAKE_CURRENT_LIST_DIR}/../dist")
set(_ua_man "${CMAKE_CURRENT_LIST_DIR}/../man")
cmake_path(NORMAL_PATH _ua_dist)
cmake_path(NORMAL_PATH _ua_man)

install(TARGETS useraccountd RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(TARGETS useraccountctl RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

# Steps of the systemd unit before the daemon starts.
install(PROGRAMS "${_ua_dist}/libexec/check-account-command" "${_ua_dist}/libexec/wait-for-commands"
                 "${_ua_dist}/libexec/prepare-record"
        DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/useraccountd")

install(FILES "${_ua_man}/useraccountctl.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${_ua_man}/useraccountd.conf.5" "${_ua_man}/useraccountd-outcomes.5"
              "${_ua_man}/useraccountd-reserved-names.5" "${_ua_man}/useraccount.conf.5"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man5")
install(FILES "${_ua_man}/useraccountd-senders.7" DESTINATION "${CMAKE_INSTALL_MANDIR}/man7")
install(FILES "${_ua_man}/useraccountd.8" "${_ua_man}/useraccount.sh.8"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")

# Senders for integrators to copy from, named in useraccountd-senders(7):
# sources to read, not programs to run from here.
install(FILES "${_ua_dist}/examples/send-command.c"
              "${_ua_dist}/examples/send-command.py"
              "${_ua_dist}/examples/send-command.pl"
              "${_ua_dist}/examples/send-command.php"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")

# The daemon runs exactly this path through sudo, and senders compute the
# queue key from exactly that file: neither moves with the prefix.
install(PROGRAMS "${_ua_dist}/useraccount.sh" DESTINATION /quex/sbin
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                    GROUP_READ GROUP_EXECUTE
                    WORLD_READ WORLD_EXECUTE)
install(FILES "${_ua_dist}/useraccountkey.json" DESTINATION /quex/etc/useraccount
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The script reads the names that add refuses, its configuration and the
# code of its directory backend from exactly these paths.
install(FILES "${_ua_dist}/reserved-names" "${_ua_dist}/useraccount.conf" "${_ua_dist}/directory.sh"
        DESTINATION /etc/useraccountd
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Install-time code: CMAKE_INSTALL_PREFIX here is the one in force when
# installing. Files for etc go where GNUInstallDirs puts them for / and /usr,
# that is /etc; to PREFIX/etc for any other prefix (/opt included, so that such
# an install stays in one tree); or to CMAKE_INSTALL_SYSCONFDIR if absolute.
install(CODE "
  set(_ua_sysconfdir [[${CMAKE_INSTALL_SYSCONFDIR}]])
  set(_ua_sbindir [[${CMAKE_INSTALL_SBINDIR}]])
  set(_ua_bindir [[${CMAKE_INSTALL_BINDIR}]])
  set(_ua_libexecdir [[${CMAKE_INSTALL_LIBEXECDIR}]])
  set(_ua_unitdir [[${USERACCOUNTD_SYSTEMD_UNITDIR}]])
  set(_ua_dist [[${_ua_dist}]])
  set(_ua_binary_dir [[${CMAKE_CURRENT_BINARY_DIR}]])
"
CODE [[
  if(IS_ABSOLUTE "${_ua_sysconfdir}")
    set(_ua_etc "${_ua_sysconfdir}")
  elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(_ua_etc "/${_ua_sysconfdir}")
  else()
    set(_ua_etc "${CMAKE_INSTALL_PREFIX}/${_ua_sysconfdir}")
  endif()
  foreach(_ua_dir sbindir bindir libexecdir unitdir)
    if(NOT IS_ABSOLUTE "${_ua_${_ua_dir}}")
      set(_ua_${_ua_dir} "${CMAKE_INSTALL_PREFIX}/${_ua_${_ua_dir}}")
    endif()
  endforeach()

  # The unit in dist/ is written for the Debian layout; point it at this one.
  file(READ "${_ua_dist}/useraccountd.service" _ua_unit)
  string(REPLACE "/usr/sbin/useraccountd" "${_ua_sbindir}/useraccountd" _ua_unit "${_ua_unit}")
  string(REPLACE "/usr/bin/useraccountctl" "${_ua_bindir}/useraccountctl" _ua_unit "${_ua_unit}")
  string(REPLACE "/usr/libexec/useraccountd/" "${_ua_libexecdir}/useraccountd/" _ua_unit "${_ua_unit}")
  string(REPLACE "/etc/useraccountd.conf" "${_ua_etc}/useraccountd.conf" _ua_unit "${_ua_unit}")
  # One staging file per destination, so that installs into different trees
  # at the same time do not mix their units.
  string(MD5 _ua_tree "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(_ua_staged "${_ua_binary_dir}/useraccountd-install/${_ua_tree}/useraccountd.service")
  file(WRITE "${_ua_staged}" "${_ua_unit}")

  file(INSTALL DESTINATION "${_ua_unitdir}" TYPE FILE FILES "${_ua_staged}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL DESTINATION "${_ua_etc}" TYPE FILE FILES "${_ua_dist}/useraccountd.conf"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  # sudo ignores a drop-in that others may write, and one whose name has a
  # dot in it.
  file(INSTALL DESTINATION "${_ua_etc}/sudoers.d" TYPE FILE
       FILES "${_ua_dist}/sudoers.d/useraccountd"
       PERMISSIONS OWNER_READ GROUP_READ)
]])
