#!/bin/sh
# apt-retry.sh against a stand-in apt-get that answers each call with the
# next scripted reply: "STATUS STDERR-LINE[;STDERR-LINE...]", and logs its
# arguments. Usage: apt_retry_test.sh APT-RETRY-SCRIPT WORK-DIR
set -u
retry="$1"
work="$2"
rm -rf "$work" && mkdir -p "$work/bin"
cat > "$work/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "$*" >> "$FAKE_APT/calls"
reply="$(head -n 1 "$FAKE_APT/replies")"
sed -i 1d "$FAKE_APT/replies"
[ -n "$reply" ] || { echo "fake apt-get: no reply left for: $*" >&2; exit 99; }
printf '%s\n' "${reply#* }" | tr ';' '\n' >&2
exit "${reply%% *}"
FAKE
chmod +x "$work/bin/apt-get"
export FAKE_APT="$work" APT_RETRY_PAUSE=0 APT_RETRY_TRIES=3 PATH="$work/bin:$PATH"

failures=0
# check NAME EXPECTED-STATUS EXPECTED-CALLS REPLIES... -- APT-GET-ARGS...
check() {
  name="$1" want_status="$2" want_calls="$3"
  shift 3
  : > "$work/replies" && : > "$work/calls"
  while [ "$1" != -- ]; do printf '%s\n' "$1" >> "$work/replies"; shift; done
  shift
  status=0
  "$retry" "$@" > "$work/out" 2>&1 || status=$?
  calls="$(wc -l < "$work/calls")"
  if [ "$status" -ne "$want_status" ] || [ "$calls" -ne "$want_calls" ]; then
    echo "FAIL: $name: status $status (want $want_status), $calls calls of apt-get (want $want_calls)"
    sed 's/^/  | /' "$work/out"
    failures=$((failures + 1))
  fi
}
size="E: Failed to fetch http://m/dists/x/main/binary-armhf/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress?"
some_e="E: Some index files failed to download. They have been ignored, or old ones used instead."
unresolved="W: Failed to fetch http://m/dists/x/InRelease  Could not resolve 'm'"
some_w="W: Some index files failed to download. They have been ignored, or old ones used instead."

check "an update that works is run once" 0 1 "0 W: Target Packages is configured multiple times" -- update -qq
check "a mirror in sync is tried again" 0 2 "100 $size;$some_e" "0 " -- update -qq
check "a name that does not resolve, which apt only warns about, is tried again" 0 2 "0 $unresolved;$some_w" "0 " -- update -qq
check "an index that stays broken is let through to the install" 0 3 \
  "100 $size;$some_e" "100 $size;$some_e" "100 $size;$some_e" -- update -qq
check "an unsigned repository fails after every try" 100 3 \
  "100 E: The repository 'http://m x Release' is not signed." \
  "100 E: The repository 'http://m x Release' is not signed." \
  "100 E: The repository 'http://m x Release' is not signed." -- update -qq
check "an update that only fails on the lock is not let through" 100 3 \
  "100 $size;E: Could not get lock /var/lib/apt/lists/lock" \
  "100 $size;E: Could not get lock /var/lib/apt/lists/lock" \
  "100 $size;E: Could not get lock /var/lib/apt/lists/lock" -- update -qq
if [ "$(id -u)" -eq 0 ]; then refresh=1; else refresh=0; fi
check "an install that fails is tried again after a fresh update" 0 $((2 + refresh)) \
  "100 E: Failed to fetch http://m/pool/g++.deb  404  Not Found" $( [ $refresh = 1 ] && echo "0 " ) "0 " -- install -y g++
check "an install that never works fails with apt's status" 100 $((3 + 2 * refresh)) \
  "100 E: Unable to locate package nosuch" $( [ $refresh = 1 ] && echo "0 " ) \
  "100 E: Unable to locate package nosuch" $( [ $refresh = 1 ] && echo "0 " ) \
  "100 E: Unable to locate package nosuch" -- install -y nosuch
grep -q "failed 3 times (last status 100); giving up" "$work/out" ||
  { echo "FAIL: giving up is not said"; failures=$((failures + 1)); }
grep -q -- "-o Acquire::Retries=3" "$work/calls" ||
  { echo "FAIL: apt-get is not told to retry its downloads"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || exit 1
echo "apt-retry: all cases pass"
