# apt-get for the set-up scripts, sourced by tools/install-deps.sh: installs what is missing, and
# gets through a Debian mirror caught in the middle of a sync.
#
# A mirror mid-sync serves, for a minute or so, an index that does not match its Release file
# ("File has unexpected size ... Mirror sync in progress?"). apt-get update then exits non-zero
# although every other list is fresh. It is tried again a few times; an index that still cannot
# be read is named and the lists there are used. If one architecture's security index is missing,
# its packages come only from the release while the other's come from the security suite, and a
# Multi-Arch package pair (amd64 and i386 of one library) cannot agree: the install is then tried
# once more with the release's own suite preferred (-t CODENAME), which takes both from it.
#
# Settings, for the tests: APT_UPDATE_TRIES (4), APT_RETRY_PAUSE (seconds before the first retry,
# doubling; 15), APT_OS_RELEASE (/etc/os-release).

apt_updated=
apt_update_failed=

apt_say() { printf 'install-deps: %s\n' "$*" >&2; }

# One apt-get update, tried again while it fails; never fails itself.
apt_update() {
  local tries=${APT_UPDATE_TRIES:-4} pause=${APT_RETRY_PAUSE:-15} try log
  log=$(mktemp)
  for ((try = 1; ; try++)); do
    if apt-get update 2>&1 | tee "$log"; [ "${PIPESTATUS[0]}" -eq 0 ]; then
      apt_update_failed=
      break
    fi
    apt_update_failed=1
    if [ "$try" -ge "$tries" ]; then
      apt_say "apt-get update failed $tries times. These package lists could not be read:"
      grep -E '^(E: Failed to fetch|Err:)' "$log" | sed 's/^/  /' >&2
      apt_say "going on with the lists that were read; the mirror may be in the middle of a sync."
      break
    fi
    apt_say "apt-get update failed (try $try of $tries); trying again in ${pause} s."
    sleep "$pause"
    pause=$((pause * 2))
  done
  rm -f "$log"
  apt_updated=1
}

apt_codename() {
  local VERSION_CODENAME=
  # shellcheck disable=SC1090
  . "${APT_OS_RELEASE:-/etc/os-release}"
  printf '%s' "$VERSION_CODENAME"
}

# Installs those of the given packages that are not installed yet.
apt_install() {
  local missing=() p codename
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ -n "$apt_updated" ] || apt_update
  apt-get install -y --no-install-recommends "${missing[@]}" && return 0
  codename=$(apt_codename)
  if [ -n "$codename" ]; then
    apt_say "the install failed. Where a mirror's index of one architecture is missing or stale, the"
    apt_say "two architectures get different versions of one library; trying once more with every"
    apt_say "package from the release itself: apt-get install -t $codename ..."
    apt-get install -y --no-install-recommends -t "$codename" "${missing[@]}" && return 0
  fi
  apt_say "could not install: ${missing[*]}"
  if [ -n "$apt_update_failed" ]; then
    apt_say "some package lists could not be read (see above): the Debian mirror is probably in the"
    apt_say "middle of a sync. Try again in a few minutes."
  else
    apt_say "apt-get says why above; if it speaks of held broken packages or files it could not fetch,"
    apt_say "the Debian mirror may be in the middle of a sync. Try again in a few minutes."
  fi
  return 1
}
