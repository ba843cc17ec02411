#!/bin/sh
# Run by scripts/package-test.sh as root inside a fresh Debian root: installs
# the packages in the folder of this script with apt, checks what they set
# up, removes and purges them, and checks that nothing of theirs is left.
#   clean_system_checks.sh
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "package-test: $*" >&2
  exit 1
}
expect_stat() { # path, "mode user group"
  actual="$(stat -c '%a %U %G' "$1")" || fail "$1 is missing"
  [ "$actual" = "$2" ] || fail "$1 is '$actual', not '$2'"
}

echo "== installing"
# The spool goes at purge (the question is asked at low priority, so it is
# preseeded here).
echo 'quillpost quillpost/purge_spool boolean true' | debconf-set-selections
packages="quillpost quillpost-mta quillpost-smtpd libmailer1 libmailer-dev"
debs=""
for package in $packages; do
  debs="$debs $(ls "$here"/"$package"_*.deb)"
done
# shellcheck disable=SC2086  # one argument per file
apt-get install -y -q --no-install-recommends $debs
# Every file and link of ours, to look for after the purge.
# shellcheck disable=SC2086
dpkg -L $packages | while read -r path; do
  if [ ! -d "$path" ]; then echo "$path"; fi
done > /tmp/our-files

echo "== the user, the spool and the settings"
getent passwd quillpost > /dev/null || fail "no user quillpost"
getent group quillpost > /dev/null || fail "no group quillpost"
expect_stat /var/spool/quillpost "2770 quillpost quillpost"
expect_stat /var/spool/quillpost/queues.db "660 quillpost quillpost"
expect_stat /etc/quillpost/smtp.conf "600 quillpost quillpost"
expect_stat /etc/quillpost/smtp-password "600 quillpost quillpost"
dpkg-query -W -f='${Conffiles}\n' quillpost | grep -q ' /etc/quillpost/smtp.conf ' ||
  fail "/etc/quillpost/smtp.conf is not a conffile"
[ -L /etc/systemd/system/multi-user.target.wants/quillpost-smtp.service ] ||
  fail "quillpost-smtp.service is not enabled"

echo "== sendmail, mailq and the relay"
[ "$(readlink -f /usr/sbin/sendmail)" = /usr/bin/quillpost-sendmail ] ||
  fail "/usr/sbin/sendmail is not quillpost-sendmail"
echo 'Subject: t' | sendmail -t root@example.org || fail "sendmail exited with $?"
listing="$(mailq)" || fail "mailq exited with $?"
echo "$listing"
echo "$listing" | grep -q 'root@example.org' || fail "the mail does not wait in mailq"
quillpost-smtp --version || fail "quillpost-smtp --version exited with $?"

echo "== removing and purging"
# shellcheck disable=SC2086
apt-get remove -y -q $packages
[ -f /etc/quillpost/smtp.conf ] || fail "removing took the settings, which only a purge may"
# dpkg: apt no longer knows a removed package that had no conffiles.
# shellcheck disable=SC2086
dpkg --purge $packages
left=""
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
done < /tmp/our-files
for path in /etc/quillpost /var/spool/quillpost /var/log/quillpost \
            /etc/systemd/system/multi-user.target.wants/quillpost-smtp.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
done
[ -z "$left" ] || fail "left after the purge:$left"
found="$(find / -xdev -path "$here" -prune -o -name '*quillpost*' -print)"
[ -z "$found" ] || fail "left after the purge: $found"
echo "== nothing of the packages is left"
