#!/bin/sh
# apt-get, tried again when a Debian mirror lets us down:
#
#   cmake/apt-retry.sh update -qq
#   cmake/apt-retry.sh install -y -qq --no-install-recommends g++ cmake
#   cmake/apt-retry.sh download -qq libyaml-cpp-dev:armhf
#
# A machine that is set up from scratch meets mirrors in the middle of a sync
# ("File has unexpected size ... Mirror sync in progress?"), a hash sum
# mismatch, a dropped connection or a name that does not resolve for a moment.
# Each apt-get runs with Acquire::Retries=3 (apt retries a single download) and
# waits for the dpkg lock a while rather than failing at once; the whole
# command is tried up to APT_RETRY_TRIES times (default 4) with a pause that
# grows each time (APT_RETRY_PAUSE seconds, default 10, then twice that, ...).
# Only when every try failed does it fail, saying so, with apt's last status.
#
# "apt-get update" exits 0 when an index could not be fetched for a reason
# apt thinks passing (a host it cannot resolve or reach): it prints "W: Failed
# to fetch" and keeps the old lists, or none on a fresh machine, so that the
# install after it fails with "Unable to locate package". Here any index that
# failed to download fails the update and is tried again. Other warnings
# (a source configured twice, a key in the legacy keyring) do not.
#
# An update whose every try still left some index files unfetched, and
# nothing worse, is reported and then let through: apt keeps the lists it got
# (and the old ones of the others), and the install after it is the judge.
# It fails, tried again in turn, if a package it needs is not in those lists
# or is at a version the mirror no longer has; it succeeds, correctly, if the
# index that stayed broken was one it does not need (a mirror that keeps one
# architecture's security index half synced for days must not stop a build
# that takes nothing from it). Any other failure of an update (no Release
# file, a bad signature, the lists' lock) fails it.
#
# An install or download that failed is tried again after a fresh update, if
# we may update: a mirror that was syncing may have replaced the package.
# POSIX sh on purpose: it also runs inside a bare Debian root.
set -u

[ $# -gt 0 ] || { echo "usage: $0 APT-GET-ARGUMENTS..." >&2; exit 2; }
tries="${APT_RETRY_TRIES:-4}"
pause="${APT_RETRY_PAUSE:-10}"

is_update=false
for arg in "$@"; do
  [ "$arg" = update ] && is_update=true
done

err="$(mktemp)"
trap 'rm -f "$err"' EXIT
apt_get() {
  status=0
  apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=300 "$@" 2>"$err" || status=$?
  cat "$err" >&2
  if [ "$status" -eq 0 ] && $is_update &&
     grep -Eq '^[WE]: (Failed to fetch|Some index files failed to download)' "$err"; then
    status=100
  fi
}

try=1
while :; do
  apt_get "$@"
  [ "$status" -ne 0 ] || exit 0
  if [ "$try" -ge "$tries" ]; then
    if $is_update && [ "$(grep -c '^E: ' "$err")" -eq "$(grep -Ec '^E: (Failed to fetch|Some index files failed to download)' "$err")" ] &&
       grep -q '^[WE]: Some index files failed to download' "$err"; then
      echo "apt-retry: 'apt-get $*' could not fetch some index files in $tries tries (see above);" \
           "going on with the lists apt has: an install needing what they lack will fail" >&2
      exit 0
    fi
    echo "apt-retry: 'apt-get $*' failed $tries times (last status $status); giving up" >&2
    exit "$status"
  fi
  echo "apt-retry: 'apt-get $*' failed (status $status, try $try of $tries); trying again in $pause s" >&2
  sleep "$pause"
  try=$((try + 1))
  pause=$((pause * 2))
  if ! $is_update && [ "$(id -u)" -eq 0 ]; then
    apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=300 update -qq || true
  fi
done
