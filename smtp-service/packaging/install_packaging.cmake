# Run by `cmake --install` (see CMakeLists.txt): fills the program's path into
# the desktop, server or smtpd files and puts them where the installed system looks.

set(prefix "${CMAKE_INSTALL_PREFIX}")
set(QUILLPOST_BINDIR "${prefix}/${QUILLPOST_INSTALL_BINDIR}")
set(QUILLPOST_DATADIR "${prefix}/${QUILLPOST_INSTALL_DATADIR}")

# systemd's own folder (pkg-config's answer) when installing into systemd's
# prefix, else the same folder below the prefix.
function(quillpost_systemd_folder result answer below_prefix)
  if(prefix STREQUAL QUILLPOST_SYSTEMD_PREFIX AND NOT answer STREQUAL "")
    set(${result} "${answer}" PARENT_SCOPE)
  else()
    set(${result} "${prefix}/${below_prefix}" PARENT_SCOPE)
  endif()
endfunction()

function(quillpost_install_file source destination_folder name)
  configure_file("${QUILLPOST_PACKAGING_SOURCE}/${source}"
                 "${QUILLPOST_PACKAGING_OUT}/${name}" @ONLY)
  file(INSTALL "${QUILLPOST_PACKAGING_OUT}/${name}" DESTINATION "${destination_folder}")
endfunction()

if(QUILLPOST_PACKAGING_PART STREQUAL "desktop")
  # A user manager reads units from $XDG_DATA_HOME/systemd/user, never from
  # ~/.local/lib/systemd/user: a prefix in a home folder gets share/.
  set(home "$ENV{HOME}")
  if(NOT home STREQUAL "" AND NOT home STREQUAL "/" AND prefix MATCHES "^${home}/")
    set(user_units "${prefix}/share/systemd/user")
  else()
    quillpost_systemd_folder(user_units "${QUILLPOST_SYSTEMD_USER_UNIT_DIR}" lib/systemd/user)
  endif()
  quillpost_install_file(desktop/quillpost-smtp.desktop.in "${QUILLPOST_DATADIR}/applications"
                         quillpost-smtp.desktop)
  quillpost_install_file(desktop/quillpost-smtp.service.in "${user_units}"
                         quillpost-smtp.service)
elseif(QUILLPOST_PACKAGING_PART STREQUAL "server")
  quillpost_systemd_folder(system_units "${QUILLPOST_SYSTEMD_SYSTEM_UNIT_DIR}"
                           lib/systemd/system)
  quillpost_systemd_folder(tmpfiles "${QUILLPOST_SYSTEMD_TMPFILES_DIR}" lib/tmpfiles.d)
  quillpost_systemd_folder(sysusers "${QUILLPOST_SYSTEMD_SYSUSERS_DIR}" lib/sysusers.d)
  quillpost_install_file(server/quillpost-smtp.service.in "${system_units}"
                         quillpost-smtp.service)
  quillpost_install_file(server/quillpost.tmpfiles.in "${tmpfiles}" quillpost.conf)
  quillpost_install_file(server/quillpost.sysusers "${sysusers}" quillpost.conf)
  quillpost_install_file(server/smtp.conf "${QUILLPOST_DATADIR}/quillpost" smtp.conf)
elseif(QUILLPOST_PACKAGING_PART STREQUAL "smtpd")
  # quillpost-smtpd's files (tools/smtpd/packaging); the store and its group
  # come with the server part.
  quillpost_systemd_folder(system_units "${QUILLPOST_SYSTEMD_SYSTEM_UNIT_DIR}"
                           lib/systemd/system)
  quillpost_systemd_folder(tmpfiles "${QUILLPOST_SYSTEMD_TMPFILES_DIR}" lib/tmpfiles.d)
  quillpost_systemd_folder(sysusers "${QUILLPOST_SYSTEMD_SYSUSERS_DIR}" lib/sysusers.d)
  quillpost_install_file(quillpost-smtpd.socket "${system_units}" quillpost-smtpd.socket)
  quillpost_install_file(quillpost-smtpd.service.in "${system_units}" quillpost-smtpd.service)
  quillpost_install_file(quillpost-smtpd.tmpfiles.in "${tmpfiles}" quillpost-smtpd.conf)
  quillpost_install_file(quillpost-smtpd.sysusers "${sysusers}" quillpost-smtpd.conf)
  quillpost_install_file(smtpd.conf "${QUILLPOST_DATADIR}/quillpost" smtpd.conf)
endif()
