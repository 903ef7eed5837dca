#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing:
#   scripts/install-packages.sh PACKAGE...
# Debian starts a package's service as it installs it (nginx would listen on
# port 80 of this machine); policy-rc.d forbids that for the duration, since
# everything here runs its servers in private namespaces.
set -euo pipefail
missing=()
for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0
made_policy=
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  made_policy=1
fi
trap '[ -z "$made_policy" ] || rm -f /usr/sbin/policy-rc.d' EXIT
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
