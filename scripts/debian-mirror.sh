# shellcheck shell=bash
# Sourced by the scripts: where this host's Debian packages come from.

# This host's Debian release, by its codename (bookworm, trixie, …).
debian_codename() {
    (. /etc/os-release && echo "${VERSION_CODENAME:-}")
}

# debian_mirror SUITE: the Debian archive that this host's apt takes SUITE's
# packages from (never the security archive), or nothing if its sources name
# none. One-line and deb822 sources alike.
debian_mirror() {
    # Some of these do not exist.
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
        awk -v suite="$1" '
            /^deb / { i = 2
                      if ($i ~ /^\[/) while ($i !~ /\]$/) i++
                      if ($i ~ /^\[/ || $i ~ /\]$/) i++
                      if ($(i + 1) == suite && $i !~ /security/) { print $i; exit } }
            /^URIs:/ { uris = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uris !~ /security/) { print uris; exit } }
            /^$/ { uris = "" }'
}
