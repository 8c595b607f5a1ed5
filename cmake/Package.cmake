# The Debian package of scripts/package: `cpack -G DEB` in the build folder. Its dependencies are computed from
# the installed programs by dpkg-shlibdeps (Debian's dpkg-dev), so they follow whatever the build links.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel-mailer)
set(CPACK_PACKAGE_VENDOR "Quorvel Software Systems")
set(CPACK_PACKAGE_CONTACT "Quorvel Software Systems <mailer@quorvel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mass-mailing wizard for dBase and FoxPro recipient tables")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvel.example/mailer")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The X11 and Wayland platform plugins, and the font the fixed-size windows are laid out for.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, fonts-dejavu-core")
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A wizard that sends one personalised plain-text e-mail per record of a
dBase or FoxPro table (.dbf) through an SMTP server. Placeholders in the
subject and body take the recipient's name, organisation, e-mail address
and terms of address from the table; every failure is written to the
table mail_log.dbf.
.
quorvel-dbf shows the fields, the record count or the records of a table
as CSV from the command line; quorvel-send sends a prepared mailing
without the window, from cron or a systemd timer.")

include(CPack)
