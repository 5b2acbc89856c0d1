#!/usr/bin/env bash
# Measures the test command as a contributor meets it: clones REV (HEAD by
# default) into a new folder, runs scripts/test.sh there twice, cold and then
# with nothing changed, and reports each run's phases and the build tree's
# size. Each output line is stamped with the time it arrived; the phases are
# told by lines that the test command and CTest print, so an older commit
# can be measured the same way, beside a newer one on the same host.
#
#   scripts/bench.sh [--in FOLDER] [REV]
#
# The clone is made in a new folder inside FOLDER (by default TMPDIR, or
# /tmp), so a path with spaces or other letters can be tried too.
# Reports, for each run: installing (up to the line that says how x86
# programs run), configuring and building (up to CTest's first "Test
# project"), each CTest preset's own total, the release tests where they
# report a time of their own, and the whole run; then the build tree's size
# and its largest folders. The clone is removed afterwards. Packages that
# the first run installs stay installed, as they would for the contributor.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=scripts/quietly.sh
. "$root/scripts/quietly.sh"

inside=${TMPDIR:-/tmp}
if [ "${1:-}" = --in ]; then
    [[ $# -ge 2 && -d $2 ]] || fail "--in needs a folder that exists"
    inside=$2
    shift 2
fi
rev=${1:-HEAD}
[ $# -le 1 ] || fail "usage: bench.sh [--in FOLDER] [REV]"
commit=$(git -C "$root" rev-parse --verify --quiet "$rev^{commit}") || fail "no commit '$rev' in this clone"
place=$(mktemp -d "$inside/loclistfix-bench.XXXXXX")
# The release rows hand the clone to the user nobody, who must reach it.
chmod 755 "$place"
trap 'rm -rf "$place"' EXIT
clone=$place/loclistfix
git clone -q --no-checkout "$root" "$clone"
git -C "$clone" checkout -q "$commit"

# stamped LOG COMMAND...: the command's output, each line after the seconds
# since it started, in LOG, and last its exit status.
stamped() {
    local log=$1 start=${EPOCHREALTIME/./} status=0 now
    shift
    { "$@" 2>&1 || status=$?; echo "exit status $status"; } | while IFS= read -r line; do
        now=${EPOCHREALTIME/./}
        printf '%d.%d %s\n' $(((now - start) / 1000000)) $(((now - start) / 100000 % 10)) "$line"
    done >"$log"
}

# phases LOG: the phases of one run, as told by its lines.
phases() {
    awk '
        function mark(name, at) { if (!(name in seen)) { seen[name] = at; order[++n] = name } }
        / == x86: | == Windows programs/ { mark("installed", $1) }
        / -- Build files have been written to/ { mark("configured", $1) }
        / Test project / { mark("built", $1); project = $NF; sub(/.*\//, "", project) }
        / Total Test time \(real\) = / { tests[project] = $(NF - 1) }
        / release: [0-9]+ passed/ { mark("release tests ended", $1) }
        { last = $1; status = $0 }
        END {
            printf "  %-34s %7.1f s\n", "installing", seen["installed"]
            printf "  %-34s %7.1f s\n", "configuring", seen["configured"] - seen["installed"]
            printf "  %-34s %7.1f s\n", "building", seen["built"] - seen["configured"]
            for (p in tests) printf "  %-34s %7.1f s\n", "ctest " p, tests[p]
            if ("release tests ended" in seen)
                printf "  %-34s %7.1f s\n", "release tests (their own script)", seen["release tests ended"] - seen["built"]
            printf "  %-34s %7.1f s\n", "the whole test command", last
            sub(/^[0-9.]+ /, "", status)
            printf "  %s\n", status
        }' "$1"
}

echo "== bench of ${commit:0:12} on $(. /etc/os-release && echo "$PRETTY_NAME"), $(nproc) cores, kernel $(uname -r)"
for run in cold unchanged; do
    stamped "$place/$run.log" "$clone/scripts/test.sh"
    echo "$run run:"
    phases "$place/$run.log"
done
echo "build tree: $(du -sh "$clone/build" | cut -f1)"
du -h -d 2 "$clone/build" 2>/dev/null | sort -rh | sed -n '2,9s/^/  /p' | sed "s|$clone/||"
for run in cold unchanged; do
    cp "$place/$run.log" "${TMPDIR:-/tmp}/loclistfix-bench-${commit:0:12}-$run.log"
done
echo "each run's output, stamped: ${TMPDIR:-/tmp}/loclistfix-bench-${commit:0:12}-{cold,unchanged}.log"
