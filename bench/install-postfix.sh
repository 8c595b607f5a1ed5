#!/usr/bin/env bash
# Installs Postfix for its smtp-sink, smtp-source and smtpd when missing. "No configuration": the package writes
# no main.cf and starts no mail system, so the machine's mail set-up stays as it was.
set -euo pipefail
[ -x /usr/sbin/smtp-sink ] && exit 0
echo "installing postfix (no configuration, no service) for smtp-sink, smtp-source and smtpd"
echo 'postfix postfix/main_mailer_type select No configuration' | debconf-set-selections
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends postfix >/dev/null
