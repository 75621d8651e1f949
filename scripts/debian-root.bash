# Sourced by the CI legs that run in a Debian root made by debootstrap inside build/
# (scripts/emulated-aarch64, scripts/newer-pythons): timed sections and their summary, the host's
# packages, the host's Debian mirror, and a root kept while what it was made from stays the same.

T0=$EPOCHREALTIME
SUMMARY=()
section() {
  SECTION="$1"
  SECTION_T0=$EPOCHREALTIME
  printf '\n== %s ==\n' "$1"
}
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f s", b - a }'; }
done_section() {
  local took
  took=$(since "$SECTION_T0")
  echo "-- ${SECTION}: ${1:+$1, }${took}"
  SUMMARY+=("$(printf '%-50s %8s  %s' "$SECTION" "$took" "${1:-}")")
}
# print_summary TITLE STATUS
print_summary() {
  printf '\n== Summary (%s) ==\n' "$1"
  printf '%s\n' "${SUMMARY[@]}"
  printf '%-50s %8s  %s\n' "total" "$(since "$T0")" "$([ "$2" = 0 ] && echo OK || echo FAILED)"
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs the host's Debian packages that are missing, without their recommendations (those of
# qemu-user-static would register binfmt handlers).
host_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# The archive the host's apt installs Debian from (the source that carries the host's own
# release, not -security or -updates); DEBIAN_MIRROR overrides it.
debian_mirror() {
  if [ -n "${DEBIAN_MIRROR:-}" ]; then
    echo "$DEBIAN_MIRROR"
    return
  fi
  local codename mirror
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # deb822 stanzas (*.sources), then one-line entries (*.list): "deb [options] URI suite ...".
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v want="$codename" '
      function flush() {
        if (!found && types ~ /(^| )deb( |$)/ && enabled != "no" && (" " suites " ") ~ (" " want " "))
          { split(uris, u, " "); found = u[1] }
        types = uris = suites = enabled = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]*#/ { next }
      { key = tolower($1); value = $0; sub(/^[^:]*:[ \t]*/, "", value) }
      key == "types:" { types = value } key == "uris:" { uris = value }
      key == "suites:" { suites = value } key == "enabled:" { enabled = tolower(value) }
      END { flush(); if (found) print found }')
  if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk -v want="$codename" '
        $1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                      if ($(i + 1) == want) { print $i; exit } }')
  fi
  echo "${mirror:-http://deb.debian.org/debian}"
}

# root_is_current ROOT RECIPE: true when ROOT was made complete from RECIPE (suite, mirror,
# packages); mark_root_made ROOT RECIPE records that once it is.
root_is_current() { [ -f "$1/.tw-root" ] && [ "$(cat "$1/.tw-root")" = "$2" ]; }
mark_root_made() { echo "$2" >"$1/.tw-root"; }
